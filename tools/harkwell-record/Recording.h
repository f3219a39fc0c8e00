// SPDX-License-Identifier: MIT
// One recording: the output folder with mic.wav, system.wav, events.jsonl and levels.svg (a
// picture of both sources over time, written at close()), and what was
// measured of each source. Frames from the stream are handed to handle() in stream order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "HarkwellCore/FrameReader.h"
#include "LevelPicture.h"
#include "SourceStats.h"
#include "WavWriter.h"

namespace harkwell::record {

struct ControlEvent {
  std::optional<double> time;  // seconds since the child was started; none for a saved stream
  std::uint64_t offset;        // stream offset of the frame
  std::string type;            // the message's "type", empty when it has none
  std::string msg;             // the message's "msg", if any
};

class Recording {
 public:
  Recording() = default;
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // The folder a recording goes into: `requested`, unless it already holds a recording (then
  // none, and `error` says so: an earlier recording is never written over), or with none
  // requested a new harkwell-recording-DATE-TIME folder in the current one.
  static std::optional<std::string> chooseFolder(const std::string& requested, std::string& error);

  // Creates `dir` (and its parents) and the three files in it.
  bool open(const std::string& dir, std::string& error);

  // Records one frame that arrived at `time` (none for a saved stream). Returns a problem with
  // the frame (a control payload that is not a JSON object, a PCM payload with an odd number
  // of bytes); the frame is recorded as far as it can be either way.
  std::optional<std::string> handle(const StreamFrame& frame, std::optional<double> time);

  // Writes buffered samples and brings both WAV headers up to date.
  bool sync();
  bool close();

  const SourceStats& mic() const { return mic_; }
  const SourceStats& system() const { return system_; }
  SourceStats& mic() { return mic_; }
  SourceStats& system() { return system_; }
  const std::vector<ControlEvent>& controls() const { return controls_; }
  std::uint64_t controlFrames() const { return controlFrames_; }
  const std::string& dir() const { return dir_; }
  // When Harkwell reported that neither path started (a microphone error and a system-audio
  // error) and no audio came: its messages, "; "-separated. Else none.
  std::optional<std::string> noCapturePath() const;

  // The first file error (a full disk, say), empty when none.
  std::string fileError() const;

 private:
  void writeEvent(const std::string& line);

  std::string dir_;
  WavWriter micWav_;
  WavWriter systemWav_;
  std::FILE* events_ = nullptr;
  std::string eventsError_;
  SourceStats mic_;
  SourceStats system_;
  LevelTrack micLevels_;
  LevelTrack systemLevels_;
  bool pictureWritten_ = false;
  std::vector<ControlEvent> controls_;
  std::uint64_t controlFrames_ = 0;
};

}  // namespace harkwell::record
