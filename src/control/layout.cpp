// The control's surface at design time: every named child control of the run panel
// and the parameter panel, and the wait window, with kind, parent, position and size
// (twips, relative to the parent), design text, font and visibility.
//
// Font names here are the design ones; creation re-fonts every text-bearing child
// with the language's font (ApplyLanguage), keeping sizes and weights. Design
// captions of the captioned controls are their Chinese captions, as the panels were
// drawn; creation replaces them with the language's captions at once.

#include <string>
#include <vector>

#include "control/control.h"

namespace brivel {

namespace {

constexpr const char* kRun = "FraRunPanel";
constexpr const char* kPara = "FraFilterParam";
constexpr double kPlain = 9.0;     // pt: every control whose size is not listed
constexpr double kField = 10.5;    // pt: the instrument data fields, the filter labels
constexpr double kButton = 10.5;   // pt: the captioned buttons

struct Design {
  std::string name;
  WidgetKind kind;
  std::string parent;
  int left, top, width, height;
  std::string text;
  double size = kPlain;
  bool bold = false;
  std::string font = "Arial";
  bool visible = true;
};

using K = WidgetKind;

// Run panel, in the order the logic's readers expect: each frame before its children.
const std::vector<Design>& run_panel() {
  static const std::vector<Design> rows = {
      {kRun, K::Frame, "", 0, 0, 8535, 5175, ""},
      {"Image1", K::Picture, kRun, 120, 360, 360, 360, ""},
      {"Frame1", K::Frame, kRun, 600, 120, 4695, 735, ""},
      {"Lbl1(0)", K::Label, "Frame1", 0, 360, 2295, 285, "当  前  波  长："},
      {"LblWaveLen", K::Label, "Frame1", 2385, 120, 1755, 585, "0.00", 26.25, true, "Times New Roman"},
      {"Lbl1(1)", K::Label, "Frame1", 4185, 360, 495, 255, "nm"},
      {"Frame6", K::Frame, kRun, 120, 840, 5445, 900, "手动方式"},
      {"CmdHandDown", K::PictureButton, "Frame6", 510, 300, 1830, 420, ""},
      {"CmdHandUp", K::PictureButton, "Frame6", 3060, 300, 1830, 420, ""},
      {"Frame3", K::Frame, kRun, 120, 1800, 5445, 900, "增量方式"},
      {"CmdDown", K::PictureButton, "Frame3", 510, 300, 1000, 420, ""},
      {"CboDistance", K::ComboBox, "Frame3", 1830, 300, 1260, 420, "", 12.0, true},
      {"Lbl1(2)", K::Label, "Frame3", 3120, 450, 375, 255, "nm"},
      {"CmdUp", K::PictureButton, "Frame3", 3870, 300, 1000, 420, ""},
      {"Frame5", K::Frame, kRun, 120, 2760, 5445, 900, "目标方式"},
      {"CboTarget", K::ComboBox, "Frame5", 510, 285, 1875, 420, "", 12.0, true},
      {"Lbl1(3)", K::Label, "Frame5", 2400, 420, 375, 255, "nm"},
      {"CmdRun", K::PictureButton, "Frame5", 3060, 285, 1830, 420, "运  行", kButton},
      {"Frame4", K::Frame, kRun, 120, 3720, 5445, 780, "速度设置"},
      {"Label4", K::Label, "Frame4", 600, 360, 1755, 255, "运  行  速  度"},
      {"CboSpeed", K::ComboBox, "Frame4", 3060, 240, 1830, 360, ""},
      {"CmdReAnchor", K::Button, kRun, 120, 4560, 1665, 495, "重新定位", kButton},
      {"CmdStop", K::Button, kRun, 2010, 4560, 1665, 495, "停   止", kButton},
      {"CmdMonoRefresh", K::PictureButton, kRun, 3900, 4560, 1665, 495, "刷   新", kButton},
      {"Frame7", K::Frame, kRun, 5655, 120, 2865, 4935, ""},
      // The instrument data column: label and field pairs at left 120, 2625 wide.
      {"Label5", K::Label, "Frame7", 120, 255, 2625, 255, "仪 器 类 型"},
      {"CboComType", K::ComboBox, "Frame7", 120, 495, 2625, 315, "", kField},
      {"LblSn", K::Label, "Frame7", 120, 885, 2625, 255, "仪 器 编 号"},
      {"TxtSpecNO", K::TextBox, "Frame7", 120, 1115, 2625, 360, "00000", kField},
      {"LblGs", K::Label, "Frame7", 120, 1560, 2625, 255, "光栅编号(刻线数)"},
      {"TxtGratingLines", K::TextBox, "Frame7", 120, 1780, 2625, 360, "0000", kField},
      {"Label1", K::Label, "Frame7", 120, 2220, 2625, 255, "闪 耀 波 长(nm)"},
      {"TxtBlazeWaveLen", K::TextBox, "Frame7", 120, 2445, 2625, 360, "0000", kField},
      {"LblOffset", K::Label, "Frame7", 120, 2895, 2625, 255, "零 点 偏 移 量"},
      {"TxtZeroOffset", K::TextBox, "Frame7", 120, 3110, 2625, 360, "00000", kField},
      {"Label2", K::Label, "Frame7", 120, 3555, 2625, 255, "出 厂 年 份"},
      {"TxtYear", K::TextBox, "Frame7", 120, 3775, 2625, 360, "00000", kField},
      {"LblDftWaveLen", K::Label, "Frame7", 120, 4215, 2625, 255, "开 机 定 位 波 长"},
      {"TxtOpenPos", K::TextBox, "Frame7", 120, 4440, 2625, 360, "0000.0", kField},
  };
  return rows;
}

// "No." i, 14 spaces, "nm": the design caption of a filter row (the Chinese one).
std::string row_caption(int i) { return "No." + std::to_string(i) + std::string(14, ' ') + "nm"; }

// Parameter panel. Each filter label is added before (under) its text box, so that
// "No." with the row number shows left of the box and "nm" right of it.
std::vector<Design> parameter_panel() {
  static const int kLabelTop[5] = {2460, 2880, 3315, 3735, 4155};
  static const int kBoxTop[5] = {2427, 2844, 3261, 3678, 4095};
  static const char* kBoxText[5] = {"350", "650", "800", "1100", "600"};
  const std::string label = "Label21", box = "TxtFilterStartWavelen";

  std::vector<Design> rows = {
      {kPara, K::Frame, "", 8565, 0, 8535, 5115, ""},
      {"Label3", K::Label, kPara, 2475, 360, 3450, 375, "滤 光 片 参 数 设 置", 14.25},
      {"ChkUseFilter", K::CheckBox, kPara, 1140, 1080, 2085, 345, "启用滤光片", 14.25},
      // Lines keep their end points as (left, top) to (left + width, top + height).
      {"Line2", K::Line, kPara, 840, 1545, 7620 - 840, 0, ""},
      {"Line3", K::Line, kPara, 4200, 1995, 0, 4450 - 1995, ""},
      {"Label48", K::Label, kPara, 1140, 1710, 1455, 285, "使用滤光片个数"},
      {"CboFilterCount", K::ComboBox, kPara, 1140, 2025, 1065, 315, "0"},
      {"Label49", K::Label, kPara, 5505, 1710, 1710, 195, "起始波长"},
      // The design's fixed top row ("No.0" over a box holding 0) is left out: the logic
      // never uses it, and beside filter row 0 it showed "No.0" twice.
  };
  for (int i = 0; i < 5; ++i) {
    rows.push_back({indexed(label, i), K::Label, kPara, 5100, kLabelTop[i], 2280, 255, row_caption(i), kField});
    rows.push_back({indexed(box, i), K::TextBox, kPara, 5700, kBoxTop[i], 1215, 330, kBoxText[i], 9.0,
                    false, "Times New Roman"});
  }
  // Row 5 is drawn apart from the others and hidden at design time.
  rows.push_back({indexed(label, 5), K::Label, kPara, 765, 4800, 2280, 255, row_caption(5), kField, false,
                  "Arial", false});
  rows.push_back({indexed(box, 5), K::TextBox, kPara, 1365, 4740, 1215, 330, "600", 9.0, false,
                  "Times New Roman", false});
  rows.push_back({"CmdFilterSet", K::PictureButton, kPara, 3495, 4530, 1410, 420, "确    定", kButton});
  return rows;
}

// The wait window: a separate small window (client area 3510 x 975), hidden until an
// operation shows it. Its label has no design caption.
const std::vector<Design>& wait_window() {
  static const std::vector<Design> rows = {
      {"FrmSplash", K::Window, "", 0, 0, 3510, 975, "", kPlain, false, "Arial", false},
      {"FrmSplash.Label1", K::Label, "FrmSplash", 120, 180, 3270, 615, "", 15.75},
  };
  return rows;
}

// The instrument-type list: the fifteen models, in the order of their type codes.
constexpr const char* kInstrumentTypes[] = {
    "5BRV640",  "5BRV640A",  "5BRV6401", "5BRV6401A", "5BRV6402",
    "5BRV870",  "5BRV870A",  "5BRV8701", "5BRV8701A", "5BRV8702",
    "5BRV880",  "5BRV880A",  "5BRV8801", "5BRV8801A", "5BRV8802",
};

void add_all(Surface& surface, const std::vector<Design>& rows) {
  for (const Design& d : rows) {
    Widget& widget = surface.add(Widget(d.name, d.kind, d.parent, d.left, d.top, d.width, d.height, d.text));
    widget.set_font(d.font, d.size, d.bold);
    widget.set_visible(d.visible);
  }
}

}  // namespace

void Control::build_surface() {
  add_all(surface_, run_panel());
  Widget& types = w("CboComType");
  for (const char* name : kInstrumentTypes) types.add_item(name);
  add_all(surface_, parameter_panel());
  add_all(surface_, wait_window());
}

}  // namespace brivel
