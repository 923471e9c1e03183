// The caption table and ApplyLanguage: every caption of both panels in English and
// Chinese, and the font of the control and of its text-bearing children.
//
// English needs the language value exactly 1; every other value shows Chinese. (The
// operator messages use the opposite test: Chinese only for exactly 0.) The spaces
// inside the Chinese captions are part of them.

#include <string>
#include <vector>

#include "control/control.h"
#include "session/language.h"

namespace brivel {

namespace {

struct Caption {
  std::string control;
  std::string en;  // language 1
  std::string zh;  // any other value
};

constexpr const char* kFontEnglish = "Arial";
constexpr const char* kFontChinese = "宋体";

// "No." i, then `spaces` spaces, then "nm": a filter row's label.
std::string filter_row(int i, int spaces) {
  return "No." + std::to_string(i) + std::string(static_cast<std::size_t>(spaces), ' ') + "nm";
}

// The captions in the order they are applied.
const std::vector<Caption>& caption_table() {
  static const std::vector<Caption> table = [] {
    std::vector<Caption> rows = {
        {"Lbl1(0)", "Current Wavelength:", "当  前  波  长："},
        {"Frame6", "Manual Mode", "手动方式"},
        {"Frame3", "Increment Mode", "增量方式"},
        {"Frame5", "Target Mode", "目标方式"},
        {"CmdRun", "Run", "运  行"},
        {"Label4", "Motor Speed", "运  行  速  度"},
        {"Frame4", "Speed setting", "速度设置"},
        {"CmdReAnchor", "Return Zero", "重新定位"},
        {"CmdStop", "Stop", "停   止"},
        {"CmdMonoRefresh", "Refresh", "刷   新"},
        {"Label5", "Instrument Type", "仪 器 类 型"},
        {"LblSn", "Instrument No.", "仪 器 编 号"},
        {"LblGs", "Grating Number(Line Density)", "光栅编号(刻线数)"},
        {"Label1", "Blaze Wavelength(nm)", "闪 耀 波 长(nm)"},
        {"LblOffset", "Zero Offset", "零 点 偏 移 量"},
        {"Label2", "Manufacture Year", "出 厂 年 份"},
        {"LblDftWaveLen", "Initial Position", "开 机 定 位 波 长"},
        {"Label3", "Filter parameters Settings", "滤 光 片 参 数 设 置"},
        {"ChkUseFilter", "Enable", "启用滤光片"},
        {"Label48", "Filter's counts", "使用滤光片个数"},
        {"Label49", "Initial Wavelength", "起始波长"},
    };
    for (int i = 0; i <= 5; ++i) rows.push_back({indexed("Label21", i), filter_row(i, 24), filter_row(i, 14)});
    rows.push_back({"CmdFilterSet", "Ok", "确    定"});
    return rows;
  }();
  return table;
}

// A widget inside the separate wait window is not a child of the control.
bool in_separate_window(const Surface& surface, const Widget& widget) {
  for (const Widget* at = &widget; at; at = at->parent().empty() ? nullptr : surface.find(at->parent()))
    if (at->kind() == WidgetKind::Window) return true;
  return false;
}

}  // namespace

void Control::ApplyLanguage() {
  const bool english_captions = thread_language() == 1;
  const std::string font = english_captions ? kFontEnglish : kFontChinese;

  surface_.set_font_name(font);
  for (Widget* child : surface_.widgets()) {
    if (!child->bears_text() || in_separate_window(surface_, *child)) continue;
    child->set_font_name(font);  // size, weight and style stay as designed
    // Re-fonting selects the box's text; show it unselected.
    if (child->name() == "CboDistance" && !child->text().empty()) child->set_sel_length(0);
  }

  for (const Caption& caption : caption_table())
    w(caption.control).set_text(english_captions ? caption.en : caption.zh);
}

}  // namespace brivel
