// The one object through which the rest of Palavrix uses the KVOL modem: it encodes messages
// into 48 000 Hz transmit samples and decodes received 12 000 Hz audio into text updates.
//
// encode may run on any thread; append and decodePending run on one receiving thread, audio
// capture's.
//
// The receiver behind the facade is one per process, so one facade at a time receives: the
// first whose decodePending runs takes it and keeps it until it is destroyed; any other facade's
// decodePending decodes nothing meanwhile. Encoding needs no receiver and works on every facade.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvol {
struct rkvol_decodes;
}

class KvolDecoder {
 public:
  // What a facade's decodePending is refused with while another facade receives.
  static constexpr std::string_view kReceiverBusy =
      "Another KVOL decoder is already receiving; only one can receive at a time.";

  KvolDecoder();
  // The receiving facade frees the receiver's transform buffers and hands the receiver back;
  // the receive streams and queue live on.
  ~KvolDecoder();
  KvolDecoder(const KvolDecoder&) = delete;
  KvolDecoder& operator=(const KvolDecoder&) = delete;

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

  // Why encode may run while decodePending is busy on the receiving thread: an operator's
  // send must never wait behind a long decode. So the transmit path keeps no state with the
  // receiver except the recent-call list, which takes its own short lock inside pack77; the
  // waveform generator's cache is per thread. Keep it that way: anything the receive half adds
  // here (buffer, reset flag) belongs to the receiving thread alone and encode must not touch it.
  //
  // UTF-8 in and out; the first 80 characters are sent, anything outside the KVOL alphabet as
  // "#". ok false with an empty text when there is nothing to send, with the cleaned text when
  // it cannot be sent (more than 16 frames, a frequency that is not finite or whose tones do
  // not fit between 0 Hz and 24 000 Hz).
  Encoded encode(std::string_view utf8Text, float frequencyHz);

  // Receiving thread. Keeps at most 600 s: a block that would pass that empties the buffer first
  // and the next decodePending starts the receiver afresh. The audio of transmissions still on
  // the air, and what the receiver has not finished with, is kept, so that such a message goes on
  // under its own id with its whole text, and nothing shown before is shown again.
  void append(std::span<const std::int16_t> samples);
  // Receiving thread, after each append: decodes what the new samples completed and reports
  // every change of a message through onMessageUpdated, also on this thread. Returns false,
  // decoding nothing, while another facade receives (see kReceiverBusy); this facade's samples
  // wait in its buffer until the other is gone.
  bool decodePending();

  // Any thread (whichever restarts audio capture); never waits. The receiving thread empties
  // the buffer and starts the receiver afresh before its next append or decode.
  void requestReset();

  // Called on the thread that runs decodePending (the capture thread): a callback, not a signal.
  std::function<void(const Update&)> onMessageUpdated;

 private:
  struct Carry;

  void takeResetRequest();
  void wrap(std::size_t incoming);
  void resetCodec();
  bool claimReceiver();
  void report(int index);

  // Receiving thread only.
  std::vector<std::int16_t> buffer_;
  bool needsCodecReset_ = false;
  std::unique_ptr<kvol::rkvol_decodes> drained_;
  std::unique_ptr<Carry> carry_;
  std::size_t seen_ = 0;    // samples the receiver was handed last
  bool receiving_ = false;  // this facade holds the process's receiver

  // The only receive state another thread touches.
  std::atomic<bool> resetRequested_{false};
};
