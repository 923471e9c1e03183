// The filter wheel's "f" record: the decoder on its own, and the read-back that ends
// a connection, which shows the record on the parameter panel.
//
// Input:
//   byte 0   the grating the instrument reports (one of the known codes, or an
//            unknown one that leaves the step size at 0)
//   rest     the reply to "f" CR, any length (the record is 28 bytes)
//
// The peer answers the identification soundly; only the record comes from the input.

#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "protocol/commands.h"
#include "testkit/bench.h"
#include "text/convert.h"

namespace {

using brivel::Bytes;

constexpr int kGratingCodes[] = {1, 2, 3, 4, 5, 17, 18, 19, 20, 6};

void check_decoder(const Bytes& packet) {
  using namespace brivel::protocol;
  const FilterRecord r = decode_filter_record(packet);
  // A short packet reads as if its missing bytes were 0.
  Bytes padded = packet;
  if (padded.size() < kFilterRecordLength) padded.resize(kFilterRecordLength, 0);
  const FilterRecord p = decode_filter_record(padded);
  FUZZ_CHECK(r.state == p.state && r.count == p.count && r.value_a == p.value_a &&
                 r.value_b == p.value_b && r.start == p.start,
             "missing bytes read as 0");
  FUZZ_CHECK(r.value_a >= -32767 && r.value_a <= 32767, "value A is 15 bits and a sign");
  // Value A goes back to the controller as it came, except that a "negative zero"
  // is sent as 0.
  const std::uint16_t word = word_at(padded, 4);
  const std::uint16_t sent = encode_sign_magnitude(r.value_a);
  FUZZ_CHECK(sent == word || (word == 0x8000 && sent == 0), "value A is written back unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brivel;
  fuzz::Input in(data, size);
  const int grating = kGratingCodes[in.byte() % std::size(kGratingCodes)];
  const Bytes record = in.rest();
  check_decoder(record);

  testkit::Bench b;
  b.port->on_write([&](const Bytes& request) -> Bytes {
    if (request == Bytes{'f', 0x0D}) return record;
    if (request.size() != 1) return {};
    switch (request[0]) {
      case 'y': return {'y', 21};
      case 'n': return {'n', 0x30, 0x39};
      case 'g': return {'g', static_cast<std::uint8_t>(grating)};
      case 'z': return {'z', 0x03, 0xE8};
      case 'p': return {'p', 0x01, 0xF4};
      case 'm': return {'m', 0x00, 0x01, 0x38, 0x80};
      case 'v': return {'v', 0x00, 0xFA};
      case 't': return {'t', 6};
      case 'w': return {'w', 0x00, 0x01, 0x3C, 0x68};
      default: return {};
    }
  });
  // Rows hold a marker so that a row the read-back does not fill can be told apart.
  for (int i = 0; i < 6; ++i)
    b.control.surface().at("TxtFilterStartWavelen(" + std::to_string(i) + ")").set_text("-");
  b.control.OpenCom();
  b.pump.run_for(1.0);

  FUZZ_CHECK(b.control.BlnMonConnectFlag() == kTrue, "the instrument is connected");
  FUZZ_CHECK(b.control.BlnBusy() == kFalse, "BlnBusy is lowered");
  const Surface& panel = b.control.surface();
  if (record.size() < static_cast<std::size_t>(protocol::kFilterRecordLength)) {
    // Too short to raise the receive event: the read-back runs out of time.
    FUZZ_CHECK(!b.control.BlnFilterReady(), "no record, wheel not ready");
    return 0;
  }
  // The receive event comes once 28 bytes wait: the first 28 are the record.
  const protocol::FilterRecord r =
      protocol::decode_filter_record(Bytes(record.begin(), record.begin() + protocol::kFilterRecordLength));
  if (r.state > 1) {
    FUZZ_CHECK(b.control.IntFilterState() == 2, "an unknown state means not set up");
    FUZZ_CHECK(panel.at("ChkUseFilter").value() == 2, "the check box is indeterminate");
    FUZZ_CHECK(!b.control.BlnFilterReady(), "not set up, not ready");
    return 0;
  }
  FUZZ_CHECK(b.control.BlnFilterReady(), "a record with state 0 or 1 makes the wheel ready");
  FUZZ_CHECK(b.control.IntFilterState() == r.state, "the state is kept");
  FUZZ_CHECK(panel.at("ChkUseFilter").value() == r.state, "the check box shows the state");
  FUZZ_CHECK(panel.at("CboFilterCount").text() == std::to_string(r.count), "the count is shown");
  FUZZ_CHECK(b.control.IntFilterParamA() == r.value_a, "value A is kept");
  FUZZ_CHECK(b.control.StrFilterParamB() == std::to_string(r.value_b), "value B is kept");
  const double step = b.control.DblMonoStep();
  const int rows = std::min<int>(r.count, 6);
  for (int i = 0; i < 6; ++i) {
    const std::string index = "(" + std::to_string(i) + ")";
    const Widget& row = panel.at("TxtFilterStartWavelen" + index);
    FUZZ_CHECK(row.visible() == (i < rows), "rows below the count are shown, the rest hidden");
    FUZZ_CHECK(panel.at("Label21" + index).visible() == (i < rows), "row labels follow their rows");
    const std::string expected = i < rows ? text::format(r.start[static_cast<std::size_t>(i)] * 16 * step, "0.0") : "-";
    FUZZ_CHECK(row.text() == expected, "a shown row holds its start wavelength; a hidden one keeps its text");
  }
  return 0;
}
