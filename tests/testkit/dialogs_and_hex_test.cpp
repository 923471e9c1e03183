// Scripted dialogs answer from their script and record what they showed; the hex
// helpers that tests write bytes with.

#include <gtest/gtest.h>

#include "platform/failure.h"
#include "testkit/hex.h"
#include "testkit/scripted_dialogs.h"
#include "testkit/virtual_pump.h"

namespace brivel::testkit {
namespace {

TEST(ScriptedDialogs, AnswerFromTheScriptInOrderThenByDefault) {
  VirtualPump pump(50.0);
  ScriptedDialogs dialogs(&pump);
  dialogs.answer(Answer::Cancel);
  dialogs.answer(Answer::Ok);
  // A box with only OK takes no scripted answer; with none left a question gets OK.
  EXPECT_EQ(dialogs.message("Done", "Prompt", Icon::Information, Buttons::Ok), Answer::Ok);
  for (Answer expected : {Answer::Cancel, Answer::Ok, Answer::Ok})
    EXPECT_EQ(dialogs.message("Sure?", "Prompt", Icon::None, Buttons::OkCancel), expected);
  EXPECT_EQ(dialogs.count("Sure?"), 3);
  EXPECT_EQ(dialogs.shown()[0].icon, Icon::Information);
  EXPECT_DOUBLE_EQ(dialogs.last().time, 50.0);

  // Input boxes take their own script, then are cancelled; they are not messages.
  dialogs.answer_input(std::string("3"));
  dialogs.answer_input(std::nullopt);
  dialogs.answer_input(std::string("17"));
  EXPECT_EQ(dialogs.input("p", "Choose the serial no.", "1"), "3");
  EXPECT_EQ(dialogs.input("p", "t", "3"), std::nullopt);
  EXPECT_EQ(dialogs.input("p", "t", "3"), "17");
  EXPECT_EQ(dialogs.input("p", "t", "3"), std::nullopt);
  ASSERT_EQ(dialogs.shown().size(), 8u);
  EXPECT_TRUE(dialogs.shown()[4].input);
  EXPECT_EQ(dialogs.shown()[4].default_text, "1");
  EXPECT_EQ(dialogs.count("p"), 0);
  dialogs.clear();
  EXPECT_TRUE(dialogs.shown().empty());
}

TEST(Hex, WritesAndReadsBytes) {
  EXPECT_EQ(hex({0x57, 0x00, 0x00, 0x27, 0x10}), "57 00 00 27 10");
  EXPECT_EQ(unhex("77 00 01"), (Bytes{0x77, 0x00, 0x01}));
  EXPECT_EQ(unhex("4f4B0d"), (Bytes{0x4F, 0x4B, 0x0D}));
  EXPECT_EQ(bytes("OK\r"), (Bytes{'O', 'K', 0x0D}));
  EXPECT_EQ(hex(unhex("")), "");
  EXPECT_THROW(unhex("7"), RuntimeFailure);
  EXPECT_THROW(unhex("7g"), RuntimeFailure);
}

}  // namespace
}  // namespace brivel::testkit
