// SPDX-License-Identifier: MIT
#include "Options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace harkwell::record {

#ifndef HARKWELL_VERSION
#define HARKWELL_VERSION "unknown"
#endif

std::string usageText() {
  return R"(Usage: harkwell-record [OPTION]... [-- HARKWELL-ARGUMENT...]
       harkwell-record --inspect FILE [--out DIR]

Launches Harkwell as a host does, records what it captures and prints a summary:
mic.wav and system.wav (16 kHz mono 16-bit WAV) and events.jsonl (every control
message with the time it arrived) in the output folder.

Options:
  -o, --out DIR        output folder (default: a new harkwell-recording-DATE-TIME);
                       a folder that holds a recording is never written over
  -s, --seconds N      stop after N seconds (may be fractional)
  -e, --until-eof      stop when harkwell-record's own standard input ends
                       (Ctrl-D on a terminal, or the end of a pipe)
  -H, --harkwell PATH  the Harkwell program to launch (default: the Harkwell next
                       to harkwell-record, then the one of this build, then PATH)
  -l, --log FILE       write Harkwell's diagnostic lines to FILE instead of
                       standard error
  -i, --inspect FILE   decode a saved stream (for example `Harkwell > capture.bin`;
                       - for standard input) instead of launching Harkwell
  -q, --quiet          no live meter
  -r, --require-sound  exit with status 4 unless both sources carried sound
                       (a peak above -60 dBFS)
  -h, --help           show this help and exit
  -V, --version        show the version and exit

events.jsonl has one JSON object per line: "time" (seconds since Harkwell was
started; absent with --inspect), "offset" (of the frame in the stream), and
"message" (the control message) or "invalid" (a payload that is not JSON).

Stopping: Harkwell is stopped the way a host stops it, by closing its standard
input: after --seconds, at the end of standard input with --until-eof, or on
Ctrl-C (SIGINT), SIGTERM or SIGHUP. harkwell-record then reads the rest of the
stream, waits for Harkwell and reports its exit status. If Harkwell has not
ended 5 seconds later it is sent SIGTERM, and SIGKILL 2 seconds after that; a
second Ctrl-C sends SIGTERM at once. Without --seconds or --until-eof the
recording runs until Ctrl-C.

On a terminal a live meter shows, per source, the elapsed time, RMS and peak
level in dBFS and the frame count. The WAV headers are brought up to date every
second, so the files stay playable even if harkwell-record is killed.

Exit status:
  0  recorded; Harkwell exited with status 0
  1  the stream was broken (truncated frame, a byte that names no tag, a control
     message that is not JSON) or a file could not be written
  2  usage error, or the output folder already holds a recording
  3  Harkwell could not be started, did not exit with status 0, or started no
     capture path (it reported both failing, and no audio came)
  4  with --require-sound: a source carried no sound
)";
}

std::string versionText() {
  return std::string("harkwell-record ") + HARKWELL_VERSION + "\n";
}

namespace {

bool parseSeconds(const char* text, double& out) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  out = v;
  return true;
}

// The option getopt_long just rejected.
std::string offending(char** argv) {
  const std::string word = argv[optind - 1];
  if (word.rfind("--", 0) == 0) return word.substr(0, word.find('='));
  return std::string("-") + static_cast<char>(optopt);
}

}  // namespace

ParseResult parseOptions(int argc, char** argv) {
  static const option longOptions[] = {
      {"out", required_argument, nullptr, 'o'},
      {"seconds", required_argument, nullptr, 's'},
      {"until-eof", no_argument, nullptr, 'e'},
      {"harkwell", required_argument, nullptr, 'H'},
      {"log", required_argument, nullptr, 'l'},
      {"inspect", required_argument, nullptr, 'i'},
      {"quiet", no_argument, nullptr, 'q'},
      {"require-sound", no_argument, nullptr, 'r'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  ParseResult result;
  Options& o = result.options;
  auto usageError = [&](std::string message) {
    result.outcome = ParseOutcome::usageError;
    result.error = std::move(message);
    return result;
  };
  optind = 0;  // full reinitialisation, so that parsing can run more than once
  opterr = 0;  // our own messages
  for (;;) {
    const int c = getopt_long(argc, argv, "+:o:s:eH:l:i:qrhV", longOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'o':
        if (*optarg == '\0') return usageError("--out needs a folder name");
        o.outDir = optarg;
        break;
      case 's': {
        double v = 0;
        if (!parseSeconds(optarg, v) || v <= 0)
          return usageError(std::string("--seconds needs a positive number, not '") + optarg + "'");
        o.seconds = v;
        break;
      }
      case 'e':
        o.untilEof = true;
        break;
      case 'H':
        o.harkwell = optarg;
        break;
      case 'l':
        o.logFile = optarg;
        break;
      case 'i':
        o.inspectFile = optarg;
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'r':
        o.requireSound = true;
        break;
      case 'h':
        result.outcome = ParseOutcome::help;
        return result;
      case 'V':
        result.outcome = ParseOutcome::version;
        return result;
      case ':':
        return usageError("option '" + offending(argv) + "' needs an argument");
      default:
        return usageError("unknown option '" + offending(argv) + "'");
    }
  }
  for (int i = optind; i < argc; ++i) o.childArgs.emplace_back(argv[i]);
  if (optind > 0 && optind <= argc && !o.childArgs.empty() && std::string(argv[optind - 1]) != "--")
    return usageError("unexpected argument '" + o.childArgs.front() +
                      "' (arguments for Harkwell go after --)");
  if (!o.inspectFile.empty()) {
    if (o.seconds || o.untilEof || !o.harkwell.empty() || !o.logFile.empty() ||
        !o.childArgs.empty())
      return usageError(
          "--inspect decodes a saved stream; it takes no option that launches Harkwell");
  }
  return result;
}

}  // namespace harkwell::record
