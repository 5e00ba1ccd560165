// The syslog client behind LogClient.dll's three entries: lines offered by
// any number of threads at once leave without ever waiting for the network.
// UDP: each line is one datagram, sent at once without waiting (a line that
// cannot go at once is declined). TCP: each line joins a bounded queue that
// the client's own thread sends in RFC 6587 frames, reconnecting with
// back-off; while the connection is down or the queue is full, lines are
// declined (the plug-in then writes them to its file).
//
// The client's thread starts in Start and does everything that may wait for
// the loader or the network (starting the sockets, resolving the name,
// connecting), so Start and Stop may run inside the plug-in's load-time and
// unload-time notifications.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ModuleThread.h"
#include "syslogclient/SyslogSetting.h"

// What the client and its thread share (SyslogClient.cpp).
class TSyslogLink;

class TSyslogClient {
public:
  // Lines waiting to be sent over TCP: at most this many, holding at most
  // QueueBytes bytes of text (the memory the queue can take, with the frames
  // of one batch in sending, BatchBytes, on top).
  static constexpr size_t QueueLines = 16384;
  static constexpr size_t QueueBytes = 4u << 20;
  static constexpr size_t BatchBytes = 256u << 10;
  // A UDP datagram holds at most this many bytes; a longer line's text is cut.
  static constexpr size_t DatagramBytes = 2048;
  // Back-off between attempts to reach the server: doubles from the first to
  // the last.
  static constexpr uint32_t FirstBackOffMs = 250;
  static constexpr uint32_t LastBackOffMs = 4000;
  // A connection on which nothing could be sent for this long is dropped and
  // made again (a server that accepts and never reads).
  static constexpr uint32_t StallMs = 10000;
  // At Stop: how long the thread goes on sending what is queued.
  static constexpr uint32_t FlushMs = 1000;

  explicit TSyslogClient(const TSyslogSetting& Setting);
  // Stops the thread when Stop was not called.
  ~TSyslogClient();
  TSyslogClient(const TSyslogClient&) = delete;
  TSyslogClient& operator=(const TSyslogClient&) = delete;

  // Starts the client's thread without waiting for it. False when it could
  // not be started: every line is then declined.
  bool Start();
  // True when the line was taken (sent, or queued to be sent); never waits.
  // Null texts count as empty.
  bool Offer(double Time, const char* AppName, const char* Tag, const char* Text);
  // Asks the thread to send what is queued within FlushMs and end, waiting
  // at most a little longer than that for it; lines not sent by then are lost.
  void Stop();

private:
  std::shared_ptr<TSyslogLink> Link;
  Platform::TModuleThread Thread;
  bool Started = false;  // the owner's thread only
};
