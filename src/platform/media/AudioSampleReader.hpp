#pragma once

#include <filesystem>
#include <memory>
#include <vector>

namespace pd::platform::media {

// Reads the first audio stream of a media file (in stream order) as mono 32-bit float samples
// at a chosen rate, one decoded buffer at a time, so that a caller can stop at a cap without
// decoding the rest. Not thread-safe: one thread opens, reads and releases a reader.
//
// Every failure throws MediaError. An errno failure carries PosixError beneath it, and when
// opening the file fails because it is missing or not permitted, FileReadError (noSuchFile,
// noPermission) sits between the two.
class AudioSampleReader {
public:
  // Opens the container and reads its stream information.
  static std::unique_ptr<AudioSampleReader> open(const std::filesystem::path& path);

  ~AudioSampleReader();
  AudioSampleReader(const AudioSampleReader&) = delete;
  AudioSampleReader& operator=(const AudioSampleReader&) = delete;

  bool hasAudioTrack() const noexcept;
  // Opens the decoder of the audio stream. Only with an audio track.
  void createDecoder();
  // Sets up the conversion to mono float samples at outputSampleRate (1 to 768,000 Hz).
  void startReading(int outputSampleRate);
  // Appends the next decoded buffer's samples; a frame whose conversion would be far longer than
  // usual comes as several buffers. False once the track has ended and the decoder and the
  // converter have given up what they held back.
  bool appendNextBuffer(std::vector<float>& samples);
  // Stops early: the decoder, the converter and the file are released.
  void cancelReading() noexcept;

private:
  struct State;
  explicit AudioSampleReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace pd::platform::media
