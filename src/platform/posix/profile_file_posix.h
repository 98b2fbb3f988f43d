// Profile (INI) files on POSIX, read and written by the rules of the Windows
// profile functions so that one hand-edited file means the same on both
// platforms.
#ifndef PELMORA_PLATFORM_POSIX_PROFILE_FILE_POSIX_H_
#define PELMORA_PLATFORM_POSIX_PROFILE_FILE_POSIX_H_

#include <cstdint>
#include <string>

namespace pelmora::profile {

// As GetPrivateProfileStringA into a buffer of 260 bytes: at most 259
// characters; `fallback` only when the file, section or key is missing.
std::string ReadString(const std::string& file, const std::string& section,
                       const std::string& key, const std::string& fallback);

// As GetPrivateProfileIntA.
std::uint32_t ReadInt(const std::string& file, const std::string& section,
                      const std::string& key, std::uint32_t fallback);

// 0 when the file can be read or is missing; otherwise the errno that keeps
// it from being read (a directory gives EISDIR). The reads above take such
// a file as missing.
int ReadError(const std::string& file);

// As WritePrivateProfileStringA: every other byte of the file stays; the
// file is replaced atomically. False (errno set) when the file cannot be
// written, a read-only one (no write permission bit) among them.
bool WriteString(const std::string& file, const std::string& section,
                 const std::string& key, const std::string& value);

}  // namespace pelmora::profile

#endif  // PELMORA_PLATFORM_POSIX_PROFILE_FILE_POSIX_H_
