// SaveParameter writes the instrument's parameter set, as the panels show it, into
// the parameter file that LoadParameter downloads again (its format: parameter_file.h).
// The file replaces an existing one in one step, or leaves it as it was.

#include <filesystem>
#include <string>

#include "parameters/parameter_set.h"
#include "parameters/parameter_file.h"
#include "platform/files.h"
#include "platform/failure.h"
#include "text/convert.h"

namespace brivel {

namespace {

constexpr const char* kFamilyPrefix = "5BRV";   // the four characters GetTypeCode drops

// Type codes by model number: the name ends in "A", in "B", or in anything else.
struct TypeRow {
  double model;
  std::int16_t a, b, other;
};
constexpr TypeRow kTypeCodes[] = {
    {640, 1, 15, 0},   {6401, 3, 16, 2},  {6402, 4, 4, 4},
    {870, 6, 17, 5},   {8701, 8, 18, 7},  {8702, 9, 9, 9},
    {880, 11, 19, 10}, {8801, 13, 20, 12}, {8802, 14, 14, 14},
};

[[noreturn]] void refuse(const std::string& why) {
  throw RuntimeFailure(FailureReason::InvalidArgument, why);
}

// `name` cut to at most `bytes` bytes, never inside a UTF-8 character.
std::string cut_name(const std::string& name, std::size_t bytes) {
  if (name.size() <= bytes) return name;
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

// Beside the target, so that the final rename never crosses file systems:
// "<name>.saving". A name so long that the ending would not fit the folder's limit
// is cut first, so that every name the file system takes can be saved to.
std::string temporary_beside(Files& files, const std::filesystem::path& target) {
  const std::string name = target.filename().string();
  const std::size_t limit = files.longest_name(target.parent_path().string());
  for (int n = 0; n < 100; ++n) {
    const std::string ending = ".saving" + (n == 0 ? std::string() : "." + std::to_string(n));
    if (ending.size() >= limit) return {};
    std::filesystem::path candidate = target;
    candidate.replace_filename(cut_name(name, limit - ending.size()) + ending);
    if (!files.status(candidate.string(), false).exists)   // a link counts, even a dangling one
      return candidate.string();
  }
  return {};
}

// Replaces the file at `path` with `content` as one step: the text goes into a new
// temporary file beside it, on the disk, which then takes the target's name, and the
// folder's new entry goes on the disk too (so that a power cut leaves either the old
// file or the new one under the name). A failure at any point (a missing or
// write-protected folder, a full disk, a target that is no regular file, a failed
// rename) removes the temporary file and leaves an existing target byte for byte as it
// was. What the operator protected is left alone, even where the operating system
// would let this process write (an administrator's): a write-protected target or a
// write-protected folder is refused.
bool replace_file(Files& files, const std::string& path, const std::string& content) {
  if (path.empty()) return false;
  std::string target = path;
  if (files.status(target, false).link) {
    target = files.resolve(target);   // write through the link
    if (target.empty()) return false;
  }
  const FileStatus existing = files.status(target, true);
  if (existing.exists && (!existing.regular || existing.write_protected)) return false;
  const std::string folder = std::filesystem::path(target).parent_path().string();
  const FileStatus folder_status = files.status(folder.empty() ? "." : folder, true);
  if (!folder_status.folder || folder_status.write_protected) return false;

  const std::string temporary = temporary_beside(files, target);
  if (temporary.empty()) return false;
  // A failed write leaves no temporary file behind (and removes none it did not make).
  if (!files.write_new(temporary, content)) return false;
  if (existing.exists) files.copy_mode(target, temporary);   // keep the file's mode
  if (!files.rename(temporary, target)) {
    files.remove(temporary);
    return false;
  }
  files.sync_folder(folder);
  return true;
}

}  // namespace

std::int16_t ParameterSet::type_code(const std::string& name) {
  if (name.empty()) return 0;
  const std::size_t prefix = std::char_traits<char>::length(kFamilyPrefix);
  if (name.size() < prefix) refuse("the instrument type \"" + name + "\" is too short");
  const std::string rest = name.substr(prefix);
  if (rest.empty()) return 0;
  const double model = text::round_half_even(text::leading_number(rest));
  const char last = rest.back();
  for (const TypeRow& row : kTypeCodes) {
    if (row.model != model) continue;
    return last == 'A' ? row.a : last == 'B' ? row.b : row.other;
  }
  return 0;
}

void ParameterSet::save(const std::string& path) {
  InstrumentState& st = s_.state;

  std::string content;
  try {
    parameters::ParameterFields fields;
    fields.grating = parameters::grating_field(s_.w("TxtGratingLines").text());
    if (fields.grating.empty()) refuse("the grating text does not start with a digit");
    const std::int16_t type = type_code(s_.w("CboComType").text());

    fields.instrument = s_.w("TxtSpecNO").text();
    fields.blaze = parameters::number_field(text::leading_number(s_.w("TxtBlazeWaveLen").text()));
    fields.zero_offset = s_.w("TxtZeroOffset").text();
    fields.year = s_.w("TxtYear").text();
    fields.power_on = parameters::number_field(text::leading_number(s_.w("TxtOpenPos").text()));
    fields.type = std::to_string(type);

    if (st.filter_state != 2) {
      const std::string count_text = s_.w("CboFilterCount").text();
      const std::optional<int> count = parameters::written_filter_count(count_text);
      if (!count) refuse("the filter count is not 1 to 6");
      parameters::FilterWheelFields wheel{std::to_string(st.filter_state), std::to_string(st.filter_a),
                                          st.filter_b, count_text, {}};
      for (int i = 0; i < *count; ++i) wheel.starts.push_back(s_.w(indexed("TxtFilterStartWavelen", i)).text());
      fields.wheel = std::move(wheel);
    }
    content = parameters::format_parameter_file(fields);
  } catch (const RuntimeFailure&) {
    content.clear();
  }

  const bool saved = !content.empty() && replace_file(s_.files, path, content);
  st.busy = false;
  if (saved) {
    s_.say(MessageKind::Success, Words{"Parameters saved successfully.", "参数保存成功!"}, Words{"Information", "信息"},
        Icon::Information);
  } else {
    s_.say(MessageKind::Failure, Words{"Failed to save parameters.", "参数保存错误!"}, Words{"Prompt", "提示"},
        Icon::Information);
  }
}

}  // namespace brivel
