#include "model/conversion_record.h"

#include <string>
#include <vector>

#include "conversion_notes.h"
#include "model/patterns.h"

namespace tunepak {
namespace {

using test::Noted;
using test::Notes;

class ConversionRecordTest : public test::ModelTest {
protected:
    void SetUp() override {
        test::ModelTest::SetUp();
        ClearConversionRecord();
    }
};

TEST_F(ConversionRecordTest, CountsByKindAndLabelFromTheirFirstPlace) {
    SetConversionPlace(2, 5);
    NoteDroppedEffect("X (tremor)");
    SetConversionPlace(3, 0);
    NoteDroppedEffect("X (tremor)");
    NoteChangedParameter("X (tremor)");  // another kind: a note of its own
    const std::string sameText = "X (tremor)";
    NoteDroppedEffect(sameText.c_str());  // the same text at another address
    ClearConversionPlace();
    NoteBeyondLimit("instruments beyond 128", 3);
    NoteBeyondLimit("instruments beyond 128", 0);  // nothing beyond: nothing noted
    NoteDiscarded("nothing", 0);
    NoteSampleCut(10);
    NoteSampleCut(5);
    NoteCompressedSample();
    EXPECT_EQ(Notes(), (std::vector<Noted>{
                           {Kind::droppedEffect, "X (tremor)", 3, 2, 5},
                           {Kind::changedParameter, "X (tremor)", 1, 3, 0},
                           {Kind::beyondLimit, "instruments beyond 128", 3},
                           {Kind::sampleCut, sampleCutLabel, 2, -1, -1, 15},
                           {Kind::compressedSample, compressedSampleLabel, 1},
                       }));
    ClearConversionRecord();
    EXPECT_TRUE(ConversionNotes().empty());
}

TEST_F(ConversionRecordTest, KindsBeyondTheRecordCountTogetherInItsLastNote) {
    static const std::vector<std::string> labels = [] {
        std::vector<std::string> texts;
        for (std::size_t i = 0; i < conversionNoteSlots + 6; ++i) texts.push_back(std::to_string(i));
        return texts;
    }();
    for (const std::string& label : labels) NoteDiscarded(label.c_str());
    NoteDiscarded(labels[0].c_str());  // a kind already listed still counts under its own label
    NoteDroppedEffect("one more");
    const std::vector<Noted> notes = Notes();
    ASSERT_EQ(notes.size(), conversionNoteSlots);
    EXPECT_EQ(notes[0], (Noted{Kind::discarded, "0", 2}));
    EXPECT_EQ(notes[conversionNoteSlots - 2].label, labels[conversionNoteSlots - 2]);
    EXPECT_EQ(notes.back().kind, Kind::overflow);
    EXPECT_EQ(notes.back().count, 8u);  // seven labels, then "one more"
}

TEST_F(ConversionRecordTest, TheEmitterPlacesNotesAndNotesWhatItCannotHold) {
    PatternEmitter emitter;
    ASSERT_TRUE(emitter.Begin(7, 3));
    NoteDroppedEffect("at row 0");
    emitter.EndRow();
    emitter.EndRow();
    EXPECT_FALSE(emitter.Add({.channel = 40}));  // nothing to say: nothing lost
    EXPECT_FALSE(emitter.Add({.channel = 40, .volume = 10}));
    for (int channel = 0; channel < 33; ++channel) {
        emitter.Add({.channel = channel % packedChannels, .note = NoteByte(60)});
    }
    emitter.EndRow();
    emitter.Finish();
    NoteDroppedEffect("after the pattern");
    EXPECT_EQ(Notes(), (std::vector<Noted>{
                           {Kind::droppedEffect, "at row 0", 1, 7, 0},
                           {Kind::channelBeyondLimit, "events on channels beyond the first 32", 1,
                            7, 2},
                           {Kind::channelBeyondLimit, "events beyond 32 in one row", 1, 7, 2},
                           {Kind::droppedEffect, "after the pattern", 1},
                       }));
}

TEST_F(ConversionRecordTest, EachLoadStartsAFreshRecord) {
    // A four-channel MOD of one empty pattern loses nothing.
    test::ByteWriter mod;
    mod.Text("empty", 20).Fill(31 * 30).U8(1).U8(0).Fill(128).Text("M.K.", 4).Fill(64 * 4 * 4);
    NoteDroppedEffect("from an earlier load");
    ASSERT_EQ(test::LoadFromBytes(mod.bytes()), ResultOk);
    EXPECT_TRUE(Notes().empty());
}

}  // namespace
}  // namespace tunepak
