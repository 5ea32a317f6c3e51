// The tests' build of tunepak: every source is cut to half its length as soon as it is open, as
// a program saving over it while the run reads it might do.

#include <filesystem>
#include <string>
#include <system_error>

#include "driver.h"

int main(int argc, char** argv) {
    return tunepak::TunepakMain(argc, argv, [](const std::string& path, unsigned long long size) {
        std::error_code ignored;
        std::filesystem::resize_file(path, size / 2, ignored);
    });
}
