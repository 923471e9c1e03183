// Creation of the control, its panels and captions in both languages, the public
// getters and setters, the panel switches, the lamp's port dialog and teardown.

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/failure.h"
#include "testkit/bench.h"

namespace brivel {
namespace {

using testkit::Bench;

Widget& at(Bench& b, const std::string& name) { return b.control.surface().at(name); }
std::string row(int i, int spaces) { return "No." + std::to_string(i) + std::string(spaces, ' ') + "nm"; }
void set_language(Bench& b, std::int16_t value) { b.control.setIntLanguage(value); }

TEST(Creation, PropertiesPanelsAndLists) {
  Bench b;
  Brivel& c = b.control;
  EXPECT_EQ(c.IntUseCom(), 1);
  EXPECT_EQ(c.IntSpeed(), 250);
  EXPECT_EQ(c.IntLanguage(), 1);
  EXPECT_EQ(c.BlnBusy() | c.BlnMonConnectFlag() | c.BlnFilterReady() | c.BlnStopRequest(), kFalse);
  EXPECT_EQ(c.DblMonoWaveLen() + c.DblOpenPos() + c.DblMonoStep(), 0.0);
  EXPECT_EQ(c.LngInstrumentNo() + c.IntGratingLines() + c.LngZeroPos() + c.IntFilterState(), 0);
  EXPECT_EQ(c.StrYear(), "00000");
  EXPECT_EQ(at(b, "Image1").picture(), 1);
  EXPECT_TRUE(b.writes().empty());
  EXPECT_TRUE(b.dialogs.shown().empty());
  at(b, "TxtYear").set_text("1999");  // what the operator typed
  EXPECT_EQ(c.StrYear(), "1999");

  EXPECT_TRUE(at(b, "FraRunPanel").visible());
  EXPECT_FALSE(at(b, "FraFilterParam").visible());
  EXPECT_FALSE(at(b, "FrmSplash").visible());

  EXPECT_EQ(at(b, "CboDistance").items(), (std::vector<std::string>{"0.1", "0.2", "0.5", "1", "2", "5", "10",
                                                                     "20", "50", "100", "200", "500", "1000"}));
  EXPECT_EQ(at(b, "CboDistance").text(), "0.1");
  const Widget& target = at(b, "CboTarget");
  ASSERT_EQ(target.items().size(), 12u);
  EXPECT_EQ(target.items()[3], "435.83");
  EXPECT_EQ(target.items().back(), "5230.08");
  EXPECT_EQ(target.text(), "0.00");  // the caption of LblWaveLen
  const Widget& speed = at(b, "CboSpeed");
  ASSERT_EQ(speed.items().size(), 250u);
  EXPECT_EQ(speed.items().front(), "1");
  EXPECT_EQ(speed.items().back(), "250");
  const Widget& types = at(b, "CboComType");
  ASSERT_EQ(types.items().size(), 15u);
  EXPECT_EQ(types.items()[6], "5BRV870A");
}

TEST(Layout, ControlsSitInTheirFrames) {
  Bench b;
  const Surface& s = b.control.surface();
  std::set<std::string> seen;  // parents come first
  for (const Widget* w : s.widgets()) {
    if (!w->parent().empty()) {
      EXPECT_TRUE(seen.count(w->parent())) << w->name();
    }
    seen.insert(w->name());
  }
  struct Place {
    const char* name;
    WidgetKind kind;
    const char* parent;
    int left, top, width, height;
  } places[] = {
      {"FraFilterParam", WidgetKind::Frame, "", 8565, 0, 8535, 5115},
      {"Image1", WidgetKind::Picture, "FraRunPanel", 120, 360, 360, 360},
      {"LblWaveLen", WidgetKind::Label, "Frame1", 2385, 120, 1755, 585},
      {"CboDistance", WidgetKind::ComboBox, "Frame3", 1830, 300, 1260, 420},
      {"CmdRun", WidgetKind::PictureButton, "Frame5", 3060, 285, 1830, 420},
      {"CmdStop", WidgetKind::Button, "FraRunPanel", 2010, 4560, 1665, 495},
      {"TxtOpenPos", WidgetKind::TextBox, "Frame7", 120, 4440, 2625, 360},
      {"Line3", WidgetKind::Line, "FraFilterParam", 4200, 1995, 0, 2455},
      {"TxtFilterStartWavelen(4)", WidgetKind::TextBox, "FraFilterParam", 5700, 4095, 1215, 330},
      {"Label21(5)", WidgetKind::Label, "FraFilterParam", 765, 4800, 2280, 255},
      {"FrmSplash", WidgetKind::Window, "", 0, 0, 3510, 975},
  };
  for (const Place& p : places) {
    const Widget& w = s.at(p.name);
    EXPECT_EQ(std::make_tuple(w.kind(), w.parent(), w.left(), w.top(), w.width(), w.height()),
              std::make_tuple(p.kind, std::string(p.parent), p.left, p.top, p.width, p.height))
        << p.name;
  }
  EXPECT_EQ(s.at("TxtFilterStartWavelen(3)").text(), "1100");
  EXPECT_EQ(s.find("Label21(8)"), nullptr);  // the unused fixed row is left out
  EXPECT_FALSE(s.at("TxtFilterStartWavelen(5)").visible());
  EXPECT_EQ(s.find("TxtFilterStartWavelen(6)"), nullptr);  // a count of 7 finds no box
  EXPECT_EQ(s.at("LblWaveLen").font_size(), 26.25);
  EXPECT_TRUE(s.at("LblWaveLen").bold() && s.at("CboDistance").bold() && s.at("CboTarget").bold());
  EXPECT_EQ(s.at("TxtZeroOffset").font_size(), 10.5);
  EXPECT_EQ(s.at("FrmSplash.Label1").font_size(), 15.75);
  EXPECT_EQ(s.at("FrmSplash.Label1").parent(), "FrmSplash");
}

// The captions whose spacing is easy to get wrong, and a few plain ones.
struct CaptionCase {
  const char* control;
  std::string en, zh;
};
const CaptionCase kCaptions[] = {
    {"Lbl1(0)", "Current Wavelength:", "当  前  波  长："}, {"CmdRun", "Run", "运  行"},
    {"Label4", "Motor Speed", "运  行  速  度"},            {"CmdStop", "Stop", "停   止"},
    {"CmdMonoRefresh", "Refresh", "刷   新"},               {"CmdFilterSet", "Ok", "确    定"},
    {"Label5", "Instrument Type", "仪 器 类 型"},           {"LblGs", "Grating Number(Line Density)", "光栅编号(刻线数)"},
    {"Label48", "Filter's counts", "使用滤光片个数"},        {"ChkUseFilter", "Enable", "启用滤光片"},
};

void expect_language(Bench& b, bool english) {
  for (const CaptionCase& c : kCaptions) EXPECT_EQ(at(b, c.control).text(), english ? c.en : c.zh) << c.control;
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(at(b, indexed("Label21", i)).text(), row(i, english ? 24 : 14));
  const std::string font = english ? "Arial" : "宋体";
  EXPECT_EQ(b.control.surface().font_name(), font);
  for (const Widget* w : b.control.surface().widgets()) {
    if (w->bears_text() && w->name().rfind("FrmSplash", 0) != 0) {
      EXPECT_EQ(w->font_name(), font) << w->name();
    }
  }
  // Texts the language does not own, and the wait window, which is no child.
  EXPECT_EQ(at(b, "Lbl1(1)").text(), "nm");
  EXPECT_EQ(at(b, "Lbl1(3)").text(), "nm");
  EXPECT_EQ(at(b, "FrmSplash.Label1").font_name(), "Arial");
}

TEST(Language, CaptionsAndFontsFollowTheLanguageBackAndForth) {
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
  EXPECT_EQ(b.dialogs.last().text, "Please reconnect the monochromator.");
}

TEST(Language, IsSharedByTheThreadAndResetByCreation) {
  Bench first;
  set_language(first, 0);
  Bench second;
  EXPECT_EQ(first.control.IntLanguage(), 1);
  set_language(second, 0);
  EXPECT_EQ(first.control.IntLanguage(), 0);
}

TEST(Panels, ExactlyOnePanelShowsAtTheTopLeft) {
  Bench b;
  b.control.ShowParaFace();
  EXPECT_FALSE(at(b, "FraRunPanel").visible());
  EXPECT_TRUE(at(b, "FraFilterParam").visible());
  EXPECT_EQ(at(b, "FraFilterParam").left(), 0);
  b.control.ShowRunFace();
  EXPECT_TRUE(at(b, "FraRunPanel").visible());
  EXPECT_FALSE(at(b, "FraFilterParam").visible());
  EXPECT_EQ(at(b, "FraRunPanel").left(), 0);
  EXPECT_TRUE(b.dialogs.shown().empty());
}

TEST(Panels, AFailingSwitchIsTrappedWithItsMessage) {
  Bench b;
  b.control.surface().set_observer([](const Widget& w, Change what) {
    if (w.name() == "FraFilterParam" && what == Change::Visible)
      throw RuntimeFailure(FailureReason::InvalidArgument, "no window");
  });
  b.control.ShowParaFace();
  ASSERT_EQ(b.dialogs.shown().size(), 1u);
  EXPECT_EQ(b.dialogs.last().text, "An error occurred when using ShowParaFace.");
  EXPECT_EQ(b.dialogs.last().title, "Prompt");
  EXPECT_EQ(b.dialogs.last().icon, Icon::Information);
  EXPECT_EQ(at(b, "FraFilterParam").left(), 8565);  // the rest of the switch was skipped
  set_language(b, 0);
  b.control.ShowRunFace();
  EXPECT_EQ(b.dialogs.last().text, "ShowRunFace发生错误！");
  EXPECT_EQ(b.dialogs.last().title, "提示");
}

TEST(Port, PropertyAndLampDialogStoreOnlyPortsOneToSixteen) {
  Bench b;
  for (std::int16_t v : {0, 17, -1, 16}) b.control.setIntUseCom(v);
  EXPECT_EQ(b.control.IntUseCom(), 16);

  struct Case {
    std::optional<std::string> answer;
    std::int16_t after;
  } cases[] = {{std::string("3"), 3},    {std::string("17"), 3},  {std::nullopt, 3},
               {std::string(""), 3},     {std::string("abc"), 3}, {std::string(" 12 "), 12},
               {std::string("2.5"), 2},  {std::string("99999"), 2}};
  for (const Case& c : cases) {
    b.dialogs.answer_input(c.answer);
    b.control.Image1_MouseDown(2);
    EXPECT_EQ(b.control.IntUseCom(), c.after) << c.answer.value_or("<cancel>");
  }
  ASSERT_EQ(b.dialogs.shown().size(), std::size(cases));  // input boxes only, no message
  EXPECT_TRUE(b.dialogs.shown().front().input);
  EXPECT_EQ(b.dialogs.shown().front().text, "Please enter the serial number");
  EXPECT_EQ(b.dialogs.shown().front().title, "Choose the serial no.");
  EXPECT_TRUE(b.writes().empty());
  EXPECT_EQ(b.port->opens(), 0);

  set_language(b, 0);
  b.dialogs.answer_input(std::string("4"));
  b.control.Image1_MouseDown(4);
  EXPECT_EQ(b.dialogs.last().text, "请输入串口号");
  EXPECT_EQ(b.dialogs.last().title, "选择串口号");
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
