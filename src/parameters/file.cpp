// The parameter file: SaveParameter writes the instrument's parameter set, as the
// panels show it, into a two-line text file that LoadParameter downloads again.
//
//   line 1  instrument number, grating (digit + mark), blaze [nm], zero offset [steps],
//           year, power-on wavelength [nm], type code
//   line 2  "2" (wheel not set up)  or  state, value A, value B, count, start [nm] x count
//
// Every field is followed by a tab and every line ends in CR LF, so a line always ends
// with tab, CR, LF. Nothing else follows the second line.

#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "control/control.h"
#include "platform/failure.h"
#include "text/convert.h"

namespace brivel {

namespace {

constexpr const char* kFamilyPrefix = "5BRV";   // the four characters GetTypeCode drops
constexpr int kFilterRows = 6;                      // TxtFilterStartWavelen(0) to (5)

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

// The grating field: the grating text's first character and the mark "30" (digits 0
// to 4) or "10" (5 to 9). The reader turns "d30" into code d and "d10" into d + 16.
std::string grating_field(const std::string& grating_text) {
  if (grating_text.empty() || !std::isdigit(static_cast<unsigned char>(grating_text[0])))
    refuse("the grating text does not start with a digit");
  const int digit = grating_text[0] - '0';
  return grating_text.substr(0, 1) + (digit < 5 ? "30" : "10");
}

std::string field(const std::string& text) { return text + '\t'; }

// The longest file name the folder takes, in bytes (255 on the usual file systems).
std::size_t longest_name(const std::filesystem::path& folder) {
#if defined(__unix__) || defined(__APPLE__)
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (limit > 0) return static_cast<std::size_t>(limit);
#else
  (void)folder;
#endif
  return 255;
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
std::filesystem::path temporary_beside(const std::filesystem::path& target) {
  std::error_code ec;
  const std::string name = target.filename().string();
  const std::size_t limit = longest_name(target.parent_path());
  for (int n = 0; n < 100; ++n) {
    const std::string ending = ".saving" + (n == 0 ? std::string() : "." + std::to_string(n));
    if (ending.size() >= limit) return {};
    std::filesystem::path candidate = target;
    candidate.replace_filename(cut_name(name, limit - ending.size()) + ending);
    if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) return candidate;
  }
  return {};
}

bool write_protected(const std::filesystem::file_status& status) {
  using std::filesystem::perms;
  return (status.permissions() & (perms::owner_write | perms::group_write | perms::others_write)) ==
         perms::none;
}

// After the rename: the folder's new entry on the disk too, so that a power cut leaves
// either the old file or the new one under the name.
void sync_folder(const std::filesystem::path& folder) {
#if defined(__unix__) || defined(__APPLE__)
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
#else
  (void)folder;
#endif
}

// Replaces the file at `path` with `content` as one step: the text goes into a new
// temporary file beside it, on the disk, which then takes the target's name. A failure
// at any point (a missing or write-protected folder, a full disk, a target that is no
// regular file) removes the temporary file and leaves an existing target byte for byte
// as it was. What the operator protected is left alone, even where the operating
// system would let this process write (an administrator's): a write-protected target
// or a write-protected folder is refused.
bool replace_file(const std::string& path, const std::string& content) {
  namespace fs = std::filesystem;
  if (path.empty()) return false;
  std::error_code ec;
  fs::path target(path);
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    const fs::path resolved = fs::canonical(target, ec);   // write through the link
    if (ec) return false;
    target = resolved;
  }
  const fs::file_status existing = fs::status(target, ec);
  const bool exists = fs::exists(existing);
  if (exists && (!fs::is_regular_file(existing) || write_protected(existing))) return false;
  const fs::path folder = target.parent_path();
  const fs::file_status folder_status = fs::status(folder.empty() ? fs::path(".") : folder, ec);
  if (!fs::is_directory(folder_status) || write_protected(folder_status)) return false;

  const fs::path temporary = temporary_beside(target);
  if (temporary.empty()) return false;
  // A failed write leaves no temporary file behind (and removes none it did not make).
  if (!ModuleFunction::WriteNewTextFile(content, temporary.string())) return false;
  if (exists) fs::permissions(temporary, existing.permissions(), ec);   // keep the file's mode
  fs::rename(temporary, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  sync_folder(folder);
  return true;
}

}  // namespace

void Control::GetTypeCode(const std::string& name, std::int16_t& code) {
  code = 0;
  if (name.empty()) return;
  const std::size_t prefix = std::char_traits<char>::length(kFamilyPrefix);
  if (name.size() < prefix) refuse("the instrument type \"" + name + "\" is too short");
  const std::string rest = name.substr(prefix);
  if (rest.empty()) return;
  const double model = text::round_half_even(text::leading_number(rest));
  const char last = rest.back();
  for (const TypeRow& row : kTypeCodes) {
    if (row.model != model) continue;
    code = last == 'A' ? row.a : last == 'B' ? row.b : row.other;
    return;
  }
}

void Control::SaveParameter(std::string strFilePath) {
  if (!session_.state.connected) return;

  std::string content;
  try {
    const std::string grating = grating_field(w("TxtGratingLines").text());
    std::int16_t type_code = 0;
    GetTypeCode(w("CboComType").text(), type_code);

    content += field(w("TxtSpecNO").text());
    content += field(grating);
    content += field(text::plain(text::leading_number(w("TxtBlazeWaveLen").text())));
    content += field(w("TxtZeroOffset").text());
    content += field(w("TxtYear").text());
    content += field(text::plain(text::leading_number(w("TxtOpenPos").text())));
    content += field(std::to_string(type_code));
    content += "\r\n";

    if (session_.state.filter_state == 2) {
      content += field("2");
    } else {
      const std::string count_text = w("CboFilterCount").text();
      const double count = text::round_half_even(text::leading_number(count_text));
      // One start wavelength per filter; the table has six boxes, and a file without
      // any filter could not be written back as a table.
      if (count < 1 || count > kFilterRows) refuse("the filter count is not 1 to 6");
      content += field(std::to_string(session_.state.filter_state));
      content += field(std::to_string(session_.state.filter_a));
      content += field(session_.state.filter_b);
      content += field(count_text);
      for (int i = 0; i < static_cast<int>(count); ++i)
        content += field(w(indexed("TxtFilterStartWavelen", i)).text());
    }
    content += "\r\n";
  } catch (const RuntimeFailure&) {
    content.clear();
  }

  const bool saved = !content.empty() && replace_file(strFilePath, content);
  session_.state.busy = false;
  if (saved) {
    session_.say(MessageKind::Success, Words{"Parameters saved successfully.", "参数保存成功!"}, Words{"Information", "信息"},
        Icon::Information);
  } else {
    session_.say(MessageKind::Failure, Words{"Failed to save parameters.", "参数保存错误!"}, Words{"Prompt", "提示"},
        Icon::Information);
  }
}

}  // namespace brivel
