// Drives the platform's profile functions from the command line, so that the
// same operations can be run natively and, through Wine, against the real
// Windows functions, and the answers compared.
//
//   profile_probe FILE OP...
//     read SECTION KEY DEFAULT     prints: read "TEXT"
//     readint SECTION KEY DEFAULT  prints: readint NUMBER
//     write SECTION KEY VALUE      prints: write 1 (or 0)
//
// Every argument may carry \xHH escapes, so any byte survives a Windows
// command line; TEXT is printed with every byte outside printable ASCII, and
// the quote and the backslash, as \xHH.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/station_identity.h"
#include "platform/env.h"

namespace {

std::string Unescape(const char* arg) {
  std::string out;
  for (std::size_t i = 0; arg[i] != '\0'; ++i) {
    if (arg[i] == '\\' && arg[i + 1] == 'x' &&
        pelmora::HexDigitValue(arg[i + 2]) >= 0 &&
        pelmora::HexDigitValue(arg[i + 3]) >= 0) {
      out += static_cast<char>(pelmora::HexDigitValue(arg[i + 2]) * 16 +
                               pelmora::HexDigitValue(arg[i + 3]));
      i += 3;
    } else {
      out += arg[i];
    }
  }
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: profile_probe FILE OP...\n");
    return 2;
  }
  pelmora::Env* env = pelmora::Env::Default();
  const std::string file = Unescape(argv[1]);
  for (int i = 2; i < argc; i += 4) {
    if (i + 3 >= argc) {
      std::fprintf(stderr, "operation %s lacks arguments\n", argv[i]);
      return 2;
    }
    const std::string op = argv[i];
    const std::string section = Unescape(argv[i + 1]);
    const std::string key = Unescape(argv[i + 2]);
    const std::string third = Unescape(argv[i + 3]);
    if (op == "read") {
      std::printf(
          "read \"%s\"\n",
          Escape(env->ReadProfileString(file, section, key, third)).c_str());
    } else if (op == "readint") {
      auto fallback =
          static_cast<std::uint32_t>(std::strtoul(third.c_str(), nullptr, 10));
      std::printf("readint %lu\n",
                  static_cast<unsigned long>(
                      env->ReadProfileInt(file, section, key, fallback)));
    } else if (op == "write") {
      std::printf(
          "write %d\n",
          env->WriteProfileEntry(file, section, key, third).failed() ? 0 : 1);
    } else {
      std::fprintf(stderr, "unknown operation %s\n", op.c_str());
      return 2;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
