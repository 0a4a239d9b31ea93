// The one object through which the rest of Palavrix uses the KVOL modem: it encodes messages
// into 48 000 Hz transmit samples and decodes received 12 000 Hz audio into text updates.
//
// encode runs on the UI thread; append and decodePending run on the capture thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class KvolDecoder {
 public:
  struct Update {
    std::int64_t messageId;
    std::string text;
    float frequencyHz;
    bool isComplete;
    int snrDb;
    int symbolErrors;
    int symbolsChecked;
  };

  struct Encoded {
    bool ok;
    std::string sentText;
    std::vector<std::int16_t> samples;
  };

  // Why encode may run while decodePending is busy on the capture thread: an operator's
  // send must never wait behind a long decode. So the transmit path keeps no state with the
  // receiver except the recent-call list, which takes its own short lock inside pack77; the
  // waveform generator's cache is per thread. Keep it that way: anything the receive half adds
  // here (buffer, reset flag) belongs to the capture thread alone and encode must not touch it.
  //
  // UTF-8 in and out; the first 80 characters are sent, anything outside the KVOL alphabet as
  // "#". ok false with an empty text when there is nothing to send, with the cleaned text when
  // it cannot be sent (more than 16 frames, a frequency that is not finite or whose tones do
  // not fit between 0 Hz and 24 000 Hz).
  Encoded encode(std::string_view utf8Text, float frequencyHz);

  // Capture thread.
  void append(std::span<const std::int16_t> samples);
  void decodePending();

  // Called on the thread that runs decodePending.
  std::function<void(const Update&)> onMessageUpdated;
};
