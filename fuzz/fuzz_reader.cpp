// Fuzz target: the input reader over arbitrary bytes.  Every line is read
// by one of the reader's operations, chosen from the line's first byte;
// keyword lists are read against small tables with prefix-related names
// and equal names.  A stop of the run is an expected end.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/stop.h"
#include "input/reader.h"

namespace {

const std::string kNames[] = {"DJ", "DJK", "DK", "dj", "dk", "BJ", "B-", "F_1", "G", "G"};
constexpr int kNameCount = 10;
constexpr int kSets = 5;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out, err;
  ruvo::Reader reader(in, out, err);
  std::vector<double> values(kNameCount * kSets, 0.0);
  std::vector<int> counts(kNameCount * kSets, 0);
  const ruvo::NameTable table{kNames, kNameCount, 7};
  try {
    for (int lines = 0; lines < 100000; ++lines) {
      const int n = reader.nextLine();
      if (n < 0 || reader.atEof()) break;
      const std::string_view line = reader.line();
      const unsigned choice = line.empty() ? 0u : static_cast<unsigned char>(line[0]) % 6u;
      switch (choice) {
      case 0: {
        std::string tok;
        while (reader.readWord(tok)) {}
        break;
      }
      case 1: {
        double v = 1.0;
        while (!reader.atLineEnd()) {
          const int mark = reader.scanPosition();
          if (reader.readReal(v) <= 0 && reader.scanPosition() == mark) {
            std::string tok;
            reader.readWord(tok);
          }
        }
        break;
      }
      case 2: {
        int v = 1;
        while (!reader.atLineEnd()) {
          const int mark = reader.scanPosition();
          if (reader.readInteger(v) <= 0 && reader.scanPosition() == mark) {
            std::string tok;
            reader.readWord(tok);
          }
        }
        break;
      }
      case 3:
        reader.readKeywordValues(table, values.data(), counts.data());
        break;
      case 4:
        reader.readIndexedKeywordValues(table, kSets, values.data(), counts.data());
        break;
      default: {
        std::string tok;
        reader.readWord(tok, 3);
        const int mark = reader.scanPosition();
        reader.echoRestOfLine(out);
        reader.setScanPosition(mark);
        reader.readKeywordValues(table, values.data(), counts.data());
        break;
      }
      }
    }
  } catch (const ruvo::RunEnd&) {}
  return 0;
}
