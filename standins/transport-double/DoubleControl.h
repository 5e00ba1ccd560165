// The control entries of the transport double, by which tests script its
// results, fire its notifications and read back the calls it received.
#pragma once

#include <cstdint>

// Entry names for the scripted results and call counts are the export names:
// "CreateTermination", "DestroyTermination", "ConnectToServer",
// "DisconnectFromServer", "SendToServer".

// Forgets every call, script and setting and ends the notifier thread (so the
// library can be unloaded safely whatever the test left behind).
using TDouble_Reset = void(VELMORA_STDCALL*)();
// Forgets the recorded calls only.
using TDouble_ClearLog = void(VELMORA_STDCALL*)();
// Enabled 0 stops recording calls (scripts, last send and notices work on),
// so that a benchmark does not measure the double's own record; Reset turns
// recording on again.
using TDouble_SetRecordCalls = void(VELMORA_STDCALL*)(int32_t Enabled);
// Microseconds above 0: after its last notice the double's thread looks for
// the next one for that long, giving up the processor between looks, before
// it sleeps; a sender then has no sleeping thread to wake, as with a real
// transport, whose receiving thread the network wakes. 0 (the default, and
// after Reset): it sleeps at once. For benchmarks that tell the relay's cost
// from the double's.
using TDouble_SetPolling = void(VELMORA_STDCALL*)(int32_t Microseconds);
// From now on Entry returns Code; with Code 1 it leaves LastError as the
// calling thread's last error.
using TDouble_SetResult = void(VELMORA_STDCALL*)(const char* Entry, int32_t Code,
                                                 uint32_t LastError);
// The next Count calls of Entry fault (an access violation writing address
// 16) before doing anything, holding none of the double's locks; a negative
// Count makes every call fault, 0 none. The call is recorded (while
// recording is on) before it faults. Faults are structured exceptions: only
// a Windows build can contain them.
using TDouble_SetFault = void(VELMORA_STDCALL*)(const char* Entry, int32_t Count);

// Notifications for the newest live termination, delivered on the double's
// own thread; the call returns once the callback has returned. 1: delivered,
// 0: no termination (or no answer within 10 s).
using TDouble_FireConnect = int32_t(VELMORA_STDCALL*)();
using TDouble_FireDisconnect = int32_t(VELMORA_STDCALL*)();
using TDouble_FireReceive = int32_t(VELMORA_STDCALL*)(const void* Data, int32_t Size);
using TDouble_FireAuxReceive = int32_t(VELMORA_STDCALL*)(const void* Data, int32_t Size);
// A flood: the same receive notice Count times back to back on the double's
// thread, as a server sending without pause would; returns once the last
// callback has returned (1), 0 as for the others (no answer within 120 s).
using TDouble_FloodReceive = int32_t(VELMORA_STDCALL*)(const void* Data, int32_t Size,
                                                       int32_t Count);

// Calls of Entry since the last reset or clear.
using TDouble_CallCount = int32_t(VELMORA_STDCALL*)(const char* Entry);
// The recorded calls, one line each ending in "\n", for example
// "CreateTermination(0.0.0.0:0,192.0.2.10:900)", "ConnectToServer(100)",
// "SendToServer(100,0a0b,2)" (bytes in hex; "null" for a null pointer).
// Copies at most Capacity - 1 characters and a terminator; returns the full
// length.
using TDouble_CallLog = int32_t(VELMORA_STDCALL*)(char* Buffer, int32_t Capacity);
// The byte count of the last SendToServer call (-1 when none) and up to
// Capacity of its bytes.
using TDouble_LastSend = int32_t(VELMORA_STDCALL*)(void* Buffer, int32_t Capacity);

// Automatic behaviour, asynchronous on the double's thread, all off by
// default: a successful ConnectToServer is followed by a connect notice; a
// successful DisconnectFromServer of a connection that is up by a disconnect
// notice.
using TDouble_SetAutoConnect = void(VELMORA_STDCALL*)(int32_t Enabled);
using TDouble_SetAutoDisconnect = void(VELMORA_STDCALL*)(int32_t Enabled);
// Answers every successful SendToServer of at least one byte with one
// receive notice: the request's first byte, ErrorByte, the rest of the
// request, then Extra. Enabled 0 turns it off.
using TDouble_SetAutoEcho = void(VELMORA_STDCALL*)(int32_t Enabled, uint8_t ErrorByte,
                                                   const void* Extra, int32_t ExtraSize);

// Careless callbacks, made on threads of the double's own with no regard for
// the termination's life, as a library that does not synchronise its
// callbacks with DestroyTermination (which then waits for none of them, nor
// ends the notifier thread: Double_Reset does).
// Late notices: from now on every destroyed termination is called back once
// more, DelayMs after its DestroyTermination, with the kinds in Kinds (bits
// below), each Repeat times, with its own user value (the receive notices
// carry the bytes 6, 0; the auxiliary one "aux"). Kinds 0 ends them.
enum : int32_t {
  DoubleLateConnect = 1,
  DoubleLateDisconnect = 2,
  DoubleLateReceive = 4,
  DoubleLateAuxReceive = 8,
};
using TDouble_SetLateNotices = void(VELMORA_STDCALL*)(int32_t Kinds, int32_t DelayMs,
                                                      int32_t Repeat);
// A stream: the newest termination gets Data as receive notices, one a
// millisecond until its disconnection or destruction begins, back to back
// from then on, and until AfterDestroyMs after DestroyTermination returned
// (10 s at most); so a receive is in flight while the client is taken down.
// 1: started; 0: no termination.
using TDouble_StreamReceive = int32_t(VELMORA_STDCALL*)(const void* Data, int32_t Size,
                                                        int32_t AfterDestroyMs);
// Waits until every late notice and stream so far has ended (each ends on
// its own); the callbacks they made since the last reset.
using TDouble_EndStrays = int32_t(VELMORA_STDCALL*)();
// Writes Value through the TermID pointer the newest termination was created
// with (as a library that keeps it may) and takes Value as that termination's
// identifier from now on. 1: done; 0: no termination.
using TDouble_RewriteTermID = int32_t(VELMORA_STDCALL*)(int32_t Value);
