// The binary contract of the transport library "cl_vexo_transport.dll": the
// entries the client calls and the callbacks the library calls back. Shared
// by the client and by the stand-in libraries that take the real one's place.
#pragma once

#include <cstdint>

// Notification of received bytes: (value the library chooses, bytes, byte
// count, the user value given to CreateTermination). The bytes are valid only
// during the call.
using TTransportReceiveCallback = void(VELMORA_STDCALL*)(int32_t Reserved, const void* Data,
                                                         int32_t Size, void* UserValue);
// Notification of a connection going up or down: (value the library chooses,
// the user value given to CreateTermination).
using TTransportStateCallback = void(VELMORA_STDCALL*)(int32_t Reserved, void* UserValue);

using TCreateTermination = int32_t(VELMORA_STDCALL*)(const char* ConnectionText,
                                                     TTransportReceiveCallback Receive,
                                                     TTransportReceiveCallback AuxReceive,
                                                     TTransportStateCallback Disconnect,
                                                     TTransportStateCallback Connect,
                                                     int32_t* TermID, void* UserValue);
using TDestroyTermination = int32_t(VELMORA_STDCALL*)(int32_t TermID);
using TConnectToServer = int32_t(VELMORA_STDCALL*)(int32_t TermID);
using TDisconnectFromServer = int32_t(VELMORA_STDCALL*)(int32_t TermID);
using TSendToServer = int32_t(VELMORA_STDCALL*)(int32_t TermID, const void* Data, int32_t Size);
// Required exports that the client never calls.
using TSetSendLoadInfoEvent = int32_t(VELMORA_STDCALL*)(int32_t TermID, void* Event);
using TGetConnectionInfo = int32_t(VELMORA_STDCALL*)(int32_t TermID, void* Info, int32_t Size);
using TGetDNSFistServerName = int32_t(VELMORA_STDCALL*)(char* Name, int32_t Size);

// Transport result codes.
enum : int32_t {
  teSUCCESS = 0,
  teLASTERROR = 1,
  teCONNECTTIMEOUTED = 2,
  teINVALIDPARAMS = 3,
  teMOREDATA = 4,
  teNODLLFOUND = 5,
  teNODATA = 6,
  teNOTIMPLEMENTED = 7,
  teDISCONNECT = 8,
};
