// The simulated module's side of the board's event loop. The board (board.cpp) owns the loop
// thread and calls these hooks; the module (module.cpp) owns the pseudo-terminal, the framing
// engine, the command table, the EEPROM image, the faults and the wire log.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <termios.h>

#include "board.h"
#include "line_pacer.h"
#include "module_flash.h"
#include "module_framing.h"

namespace testbed {

using Clock = std::chrono::steady_clock;

struct Module::Impl {
  Impl();   // opens the pseudo-terminal master (non-blocking) and keeps a slave open
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  int master_fd() const;
  const std::string& slave_path() const;

  // ---- Event-loop hooks: called from the board's loop thread only ----
  // Reads what the host sent, decodes it, and queues the module's replies. On a paced line it
  // takes only the bytes that have crossed the line by now; OnTick takes the rest in time.
  void OnReadable();
  // Writes the replies that are due, takes paced input that is due, samples the port settings.
  void OnTick(Clock::time_point now);
  // When OnTick next has something to do (nullopt: nothing queued).
  std::optional<Clock::time_point> NextDeadline() const;
  // Whether the loop should wait for the line to become readable. Not while paced input is
  // already known to wait: OnTick takes it at its time.
  bool ListensToLine() const;
  // Takes and decodes everything waiting, paced or not: the program has ended.
  void Drain();

  // ---- Called by the board between runs and from the I/O device ----
  // Puts the slave's terminal settings back to what a fresh port has (cooked), drops queued
  // output and flushes the line, so one run's settings never carry into the next.
  void ResetPort();
  void SetPowered(bool powered);
  void SetBootMode(int mode);

  // Everything below is guarded by `mu`; the public Module methods lock it too.
  mutable std::mutex mu;

 private:
  friend class Module;

  // Output waiting for its time: a piece of a paced reply, a whole reply, or chatter.
  struct Pending {
    Bytes bytes;
    size_t sent = 0;  // written so far (the pty took part of it)
    Clock::time_point due;
  };

  void OpenPty();
  void CloseFds();
  // Closes the line: the program's end of the pseudo-terminal is hung up. ResetPort opens a
  // fresh one for the next run.
  void HangUp();
  void RegisterEepromCommands();
  CommandReply EepromRead(const Bytes& payload);
  CommandReply EepromWrite(const Bytes& payload);
  void SampleSettings();
  void HandleHostEvent(WireEvent event);
  // A frame no fault applies to, while chaos is on.
  void HandleUnderChaos(const WireEvent& event, std::unique_lock<std::mutex>& lock);
  std::optional<CommandReply> Execute(const WireEvent& frame,
                                      std::unique_lock<std::mutex>& lock);
  // The first piece goes out after `delay`, each further one `gap` later.
  void Queue(const std::vector<Bytes>& pieces, std::chrono::milliseconds gap,
             Clock::duration delay = {});
  void Log(WireEvent event);
  void Decode(const Bytes& input);
  Bytes TakePacedInput(Clock::time_point now);
  void WriteDue(Clock::time_point now);

  // Flash (module_flash.cpp)
  void RegisterFlashCommands();
  CommandReply FlashCommand(uint8_t command, const Bytes& payload);
  void HandleBurstEvent(const WireEvent& event);
  void StartBurst(const Bytes& count);
  void TakeBlock(const Bytes& data);
  void EndBank(const Bytes& bank_end);
  void SendBurstReply(const Bytes& bytes, Clock::time_point due);
  void PutBurstBytes(const Bytes& bytes, Clock::time_point due);
  Bytes OtherReplyBody() const;
  void FlushLine();
  void ResetParser();

  int master_ = -1;
  int slave_ = -1;  // kept open: with no slave open the master reports POLLHUP for ever
  std::string slave_path_;
  termios initial_termios_{};  // the slave's cooked settings as created

  bool powered_ = true;
  int boot_mode_ = 0;  // as the board I/O device last set it
  flash::State flash_;
  framing::FrameParser parser_;
  std::map<uint8_t, CommandHandler> handlers_;
  std::vector<Fault> faults_;
  std::map<uint8_t, int> occurrences_;  // host frames seen while powered, per command byte
  int frames_seen_ = 0;                 // the same over all commands

  std::optional<Chaos> chaos_;
  int chaos_frames_ = 0;     // frames of this run (ResetPort starts a new run)
  int chaos_burst_replies_ = 0;  // the flash burst's replies of this run
  bool chaos_dead_ = false;  // chaos has silenced the module for the rest of the run
  Bytes last_body_;          // the last response body sent, another command's reply
  std::vector<Module::ChaosEvent> chaos_log_;

  std::array<uint8_t, kEepromSize> eeprom_{};
  std::vector<std::pair<uint16_t, Bytes>> eeprom_writes_;
  std::vector<WireEvent> log_;
  PortSettings last_settings_;
  std::vector<PortSettings> settings_seen_;

  std::deque<Pending> outbox_;
  Clock::time_point write_blocked_until_{};  // the pty was full: retry from then on

  bool trickle_ = false;  // every byte the module sends goes to the line on its own
  LinePacer rx_pacer_;  // host to module
  LinePacer tx_pacer_;  // module to host
  bool rx_waiting_ = false;       // paced: the host's bytes wait in the pty...
  Clock::time_point rx_ready_{};  // ...since then
};

}  // namespace testbed
