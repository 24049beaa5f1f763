// Reading a settings file into lines, and probing whether a file can be
// opened. Files are read as text: CR LF reads as LF, a byte 0x1A ends the
// content, a NUL cuts its line; every other byte passes through unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace files {

inline constexpr std::size_t default_read_block = 64 * 1024;

// Appends the lines of the file at `path` to `lines`. False, with `lines`
// untouched, when the file cannot be opened; true otherwise, even when a
// read fails partway (the content then ends there). `read_block` is the
// size of each read from the file.
bool read_lines(std::vector<std::string>& lines, const std::string& path,
                std::size_t read_block = default_read_block);

// True when the file at `path` can be opened for reading.
bool file_exists(const std::string& path);

}  // namespace files
