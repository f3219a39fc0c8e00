// SPDX-License-Identifier: MIT
#include "CaptureFixture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "HarkwellCore/FrameReader.h"

namespace harkwell::test {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start) + "<no line feed>");
  return lines;
}

std::vector<DecodedFrame> splitFrames(const std::string& bytes) {
  std::vector<DecodedFrame> frames;
  FrameReader reader;
  reader.feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  while (auto f = reader.next()) frames.push_back(std::move(f->frame));
  reader.finish();
  if (reader.error()) ADD_FAILURE() << *reader.error();
  return frames;
}

InterleavedAudio::InterleavedAudio(std::size_t frames, std::uint32_t channels)
    : samples(frames * channels, 0.25f) {
  list.mNumberBuffers = 1;
  list.mBuffers[0] = platform::AudioBuffer{
      channels, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()};
}

std::unique_ptr<platform::AVAudioPCMBuffer> micBuffer(const platform::AVAudioFormat& format,
                                                      std::uint32_t frames) {
  auto buffer = platform::AVAudioPCMBuffer::make(format, frames);
  if (buffer) buffer->setFrameLength(frames);
  return buffer;
}

platform::NSError describedError(std::string domain, std::int64_t code, std::string text) {
  return platform::NSError(
      std::move(domain), code,
      Value::Object{{std::string(platform::NSLocalizedDescriptionKey), Value(std::move(text))}});
}

void CaptureTest::SetUp() {
  platform::drainMainQueue();
  platform::setAudioBackend(&backend);
  backend.setProcessObject(static_cast<std::int32_t>(getppid()), 77);
  // Scripted converters unless a test wants the real one: 5 samples of 7 per conversion.
  backend.setDefaultConverter({platform::scripted::ConverterScript::Kind::produce, 5, 7, {}});
}

void CaptureTest::TearDown() {
  platform::drainMainQueue();
  platform::setAudioBackend(nullptr);
}

}  // namespace harkwell::test
