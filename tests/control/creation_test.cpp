// Creation, captions in both languages, getters and setters, panels, the lamp's port dialog, teardown.

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;
using Said = std::pair<std::string, std::string>;  // a message's text and title
using Texts = std::vector<std::string>;

Widget& at(Bench& b, const std::string& name) { return b.control.surface().at(name); }
void set_language(Bench& b, std::int16_t value) { b.control.setIntLanguage(value); }
Said said(const Bench& b) {
  return b.dialogs.shown().empty() ? Said() : Said(b.dialogs.last().text, b.dialogs.last().title);
}
auto panels(Bench& b) {
  return std::make_tuple(at(b, "FraRunPanel").visible(), at(b, "FraFilterParam").visible(),
                         at(b, "FraRunPanel").left(), at(b, "FraFilterParam").left());
}

TEST(Creation, PropertiesPanelsListsAndLayout) {
  Bench b;
  Control& c = b.control;
  EXPECT_EQ(std::make_tuple(c.IntUseCom(), c.IntSpeed(), c.IntLanguage(), c.StrYear()),
            std::make_tuple(1, 250, 1, std::string("00000")));
  EXPECT_EQ(c.BlnBusy() | c.BlnMonConnectFlag() | c.BlnFilterReady() | c.BlnStopRequest(), kFalse);
  EXPECT_EQ(c.DblMonoWaveLen() + c.DblOpenPos() + c.DblMonoStep(), 0.0);
  EXPECT_EQ(c.LngInstrumentNo() + c.IntGratingLines() + c.LngZeroPos() + c.IntFilterState(), 0);
  EXPECT_EQ(at(b, "Image1").picture(), 1);
  EXPECT_TRUE(b.writes().empty() && b.dialogs.shown().empty());
  EXPECT_EQ(panels(b), std::make_tuple(true, false, 0, 8565));
  EXPECT_FALSE(at(b, "FrmSplash").visible());
  at(b, "TxtYear").set_text("1999");  // what the operator typed
  EXPECT_EQ(c.StrYear(), "1999");
  EXPECT_EQ(std::make_tuple(at(b, "CboDistance").text(), at(b, "CboTarget").text()),
            std::make_tuple("0.1", "0.00"));  // the target shows LblWaveLen's caption
  const Texts& speeds = at(b, "CboSpeed").items();
  ASSERT_EQ(speeds.size(), 250u);
  EXPECT_EQ(std::make_tuple(speeds.front(), speeds.back()), std::make_tuple("1", "250"));
  // The layout: every control sits in its frame.
  const Surface& s = b.control.surface();
  std::set<std::string> seen;  // parents come first
  for (const Widget* w : s.widgets()) {
    EXPECT_TRUE(w->parent().empty() || seen.count(w->parent())) << w->name();
    seen.insert(w->name());
  }
  EXPECT_EQ(s.at("TxtFilterStartWavelen(3)").text(), "1100");
  EXPECT_EQ(s.find("Label21(8)"), nullptr);  // the unused fixed row is left out
  EXPECT_FALSE(s.at("TxtFilterStartWavelen(5)").visible());
  EXPECT_EQ(s.find("TxtFilterStartWavelen(6)"), nullptr);  // a count of 7 finds no box
  EXPECT_EQ(s.at("FrmSplash.Label1").parent(), "FrmSplash");
}

// A few captions: that each control's caption follows the language.
const std::tuple<const char*, std::string, std::string> kCaptions[] = {
    {"Lbl1(0)", "Current Wavelength:", "当  前  波  长："}, {"CmdStop", "Stop", "停   止"},
    {"ChkUseFilter", "Enable", "启用滤光片"},
};

void expect_language(Bench& b, bool english) {
  for (const auto& [control, en, zh] : kCaptions) EXPECT_EQ(at(b, control).text(), english ? en : zh) << control;
  for (int i = 0; i <= 5; ++i)
    EXPECT_EQ(at(b, indexed("Label21", i)).text(), "No." + std::to_string(i) + std::string(english ? 24 : 14, ' ') + "nm");
  const std::string font = english ? "Arial" : "宋体";
  EXPECT_EQ(b.control.surface().font_name(), font);
  for (const Widget* w : b.control.surface().widgets())
    EXPECT_TRUE(!w->bears_text() || w->name().rfind("FrmSplash", 0) == 0 || w->font_name() == font) << w->name();
  // Texts the language does not own, and the wait window, which is no child.
  EXPECT_EQ(std::make_tuple(at(b, "Lbl1(1)").text(), at(b, "Lbl1(3)").text(), at(b, "FrmSplash.Label1").font_name()),
            std::make_tuple("nm", "nm", "Arial"));
}

TEST(Language, CaptionsAndFontsFollowTheSharedLanguageBackAndForth) {
  Bench b;
  expect_language(b, true);
  at(b, "CboDistance").set_sel_length(3);
  set_language(b, 0);
  EXPECT_EQ(b.control.IntLanguage(), 0);
  expect_language(b, false);
  EXPECT_EQ(at(b, "CboDistance").sel_length(), 0);
  EXPECT_EQ(at(b, "LblWaveLen").font_size(), 26.25);  // only the name changes
  set_language(b, 1);
  expect_language(b, true);
  EXPECT_TRUE(b.writes().empty());
  // Other values: Chinese captions, English messages.
  set_language(b, 2);
  expect_language(b, false);
  b.control.CmdMonoRefresh_Click();  // not connected: a message
  EXPECT_EQ(said(b).first, "Please reconnect the monochromator.");
  // The language is shared by the thread's controls; creation resets it.
  Bench second;
  EXPECT_EQ(b.control.IntLanguage(), 1);
  set_language(second, 0);
  EXPECT_EQ(b.control.IntLanguage(), 0);
}

TEST(Panels, ExactlyOnePanelShowsAtTheTopLeftAndFailuresAreTrapped) {
  Bench b;
  b.control.ShowParaFace();
  EXPECT_EQ(panels(b), std::make_tuple(false, true, 0, 0));
  b.control.ShowRunFace();
  EXPECT_EQ(panels(b), std::make_tuple(true, false, 0, 0));
  EXPECT_TRUE(b.dialogs.shown().empty());
  Bench f;
  f.control.surface().set_observer([](const Widget& w, Change what) {
    if (w.name() == "FraFilterParam" && what == Change::Visible)
      throw RuntimeFailure(FailureReason::InvalidArgument, "no window");
  });
  f.control.ShowParaFace();
  EXPECT_EQ(said(f), Said("An error occurred when using ShowParaFace.", "Prompt"));
  EXPECT_EQ(std::make_pair(f.dialogs.shown().size(), f.dialogs.last().icon), std::make_pair(std::size_t{1}, Icon::Information));
  EXPECT_EQ(at(f, "FraFilterParam").left(), 8565);  // the rest of the switch was skipped
  set_language(f, 0);
  f.control.ShowRunFace();
  EXPECT_EQ(said(f), Said("ShowRunFace发生错误！", "提示"));
}

TEST(Port, PropertyAndLampDialogStoreOnlyPortsOneToSixteen) {
  Bench b;
  for (std::int16_t v : {0, 17, -1, 16}) b.control.setIntUseCom(v);
  EXPECT_EQ(b.control.IntUseCom(), 16);
  const std::pair<std::optional<std::string>, std::int16_t> cases[] = {
      {"3", 3},  {"17", 3}, {std::nullopt, 3}, {"", 3}, {"abc", 3}, {" 12 ", 12}, {"2.5", 2}, {"99999", 2}};
  for (const auto& [answer, after] : cases) {
    b.dialogs.answer_input(answer);
    b.control.Image1_MouseDown(2);
    EXPECT_EQ(b.control.IntUseCom(), after) << answer.value_or("<cancel>");
  }
  ASSERT_EQ(b.dialogs.shown().size(), std::size(cases));  // input boxes only, no message
  EXPECT_TRUE(b.dialogs.shown().front().input);
  EXPECT_EQ(said(b), Said("Please enter the serial number", "Choose the serial no."));
  EXPECT_TRUE(b.writes().empty());
  EXPECT_EQ(b.port->opens(), 0);
  set_language(b, 0);
  b.dialogs.answer_input(std::string("4"));
  b.control.Image1_MouseDown(4);
  EXPECT_EQ(said(b), Said("请输入串口号", "选择串口号"));
  EXPECT_EQ(b.control.IntUseCom(), 4);
}

TEST(Teardown, ClosesQuietlyWithoutTellingTheSurface) {
  auto b = std::make_unique<Bench>();
  b->control.OpenCom();
  ASSERT_EQ(b->control.BlnMonConnectFlag(), kTrue);
  // A host whose widgets go first must not hear of the lamp changing at teardown.
  bool notified = false;
  b->control.surface().set_observer([&](const Widget&, Change) { notified = true; });
  b.reset();
  EXPECT_FALSE(notified);
}

}  // namespace
}  // namespace brivel
