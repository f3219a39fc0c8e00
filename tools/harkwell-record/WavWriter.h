// SPDX-License-Identifier: MIT
// A 16 kHz mono 16-bit PCM WAV file written as samples arrive. The header is written when the
// file is opened and brought up to date by updateHeader() and close(), so the file is a valid
// WAV file at every point where the header was last updated.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace harkwell::record {

class WavWriter {
 public:
  static constexpr std::uint32_t kSampleRate = 16000;
  static constexpr std::size_t kHeaderSize = 44;

  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates (or truncates) `path` and writes the header of an empty file. False with `error`
  // set when the file cannot be created.
  bool open(const std::string& path, std::string& error);

  // Appends little-endian 16-bit samples (an even number of bytes). Buffered.
  bool append(std::span<const std::uint8_t> samples);

  // Writes the buffered samples and rewrites the header with the sizes so far.
  bool updateHeader();

  // updateHeader() and close the file.
  bool close();

  std::uint64_t dataBytes() const { return dataBytes_; }
  const std::string& path() const { return path_; }
  const std::string& lastError() const { return error_; }

 private:
  bool flush();
  bool fail(const char* what);

  int fd_ = -1;
  std::string path_;
  std::string error_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t dataBytes_ = 0;  // sample bytes appended so far
};

// The 44-byte header for `dataBytes` bytes of 16 kHz mono 16-bit samples. Sizes beyond what a
// WAV header can hold are clamped.
std::vector<std::uint8_t> wavHeader(std::uint64_t dataBytes);

}  // namespace harkwell::record
