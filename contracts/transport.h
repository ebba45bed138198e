// The transport library linkcore: what the remote control agent and the file
// transfer slave call.
//
// An endpoint is opened on an IPX socket (carried as UDP datagrams, see
// libs/linkcore/WIRE.md) or a TCP port and is named by a non-zero 32-bit
// handle. It answers one peer at a time, the "current peer": the first caller
// whose packet is received. From then on only that caller's packets are
// received, and nothing of other callers comes in between, until
// ResetSession or AcceptAnyCaller, or until the peer is gone (its TCP
// connection closed or dropped; a datagram peer silent for 30 seconds once
// another caller sends); then the next caller is taken. Other callers wait
// (TCP) or are not answered (datagrams); WIRE.md says what they see. A TCP
// send that fails part-way drops that connection, as half a frame would
// put the peer's framing out of step. The calling order is: open, SetBlocking(h, 1),
// then RecvPacket on one thread while other threads SendPacket on the same
// handle, and DeinitProtocol last, which also releases a thread blocked in
// RecvPacket on that handle (it returns 0 with last error LC_ERR_INACTIVE).
//
// Failures return 0 and set the thread's last-error code: GetLastError() on
// Windows, LinkGetLastError() everywhere.
#pragma once

#include <stdint.h>

#if defined(_WIN32) && defined(LINKCORE_DLL_BUILD)
#define LINKCORE_API extern "C" __declspec(dllexport)
#elif defined(_WIN32) && !defined(LINKCORE_STATIC)
#define LINKCORE_API extern "C" __declspec(dllimport)
#else
#define LINKCORE_API extern "C"
#endif

typedef uint32_t LinkHandle;

// Last-error codes of our own (socket errors pass through as they are).
enum : uint32_t {
    LC_ERR_NONE = 0,            // RecvPacket: nothing happened, try again
    LC_ERR_INACTIVE = 0x2005,   // the handle is not (or no longer) an open endpoint
    LC_ERR_NO_PEER = 0x2006,    // SendPacket with no current peer
    LC_ERR_SIZE = 0x2007,       // a packet of 0 bytes or above LC_MAX_PACKET
    LC_ERR_BUFFER = 0x2008,     // a name buffer too small for the address bytes
    LC_ERR_OPEN = 0x2009,       // the socket could not be opened, bound or listened on
    LC_ERR_KEY = 0x200A,        // LinkSetSiteKey: a length other than 0 or 32, or no cipher available
};

// The largest packet the library carries in either direction.
enum : uint32_t { LC_MAX_PACKET = 1500 };

// Opens an endpoint on an IPX socket (value as the caller hands it over); the
// UDP port is derived from it by LinkIpxSocketToUdpPort. 0 on failure.
LINKCORE_API LinkHandle InitIPXSession(uint32_t reserved0, uint32_t socket, uint32_t reserved1);
// Opens an endpoint listening on TCP port `port`. 0 on failure.
LINKCORE_API LinkHandle InitTCPIPSession(uint32_t reserved0, uint32_t port, uint32_t reserved1,
                                         uint32_t reserved2);
// 1: RecvPacket waits for a packet; 0: it returns at once (0, last error 0).
LINKCORE_API int SetBlocking(LinkHandle h, int blocking);
// Copies one whole packet into buffer and returns its length; 0 on failure.
// A packet longer than capacity is discarded (never truncated).
LINKCORE_API int RecvPacket(LinkHandle h, void* buffer, int capacity);
// Sends one packet to the current peer; non-zero on success.
LINKCORE_API int SendPacket(LinkHandle h, const void* buffer, int length);
// Drops the current peer (a TCP peer's connection is closed); the next
// caller is taken.
LINKCORE_API int ResetSession(LinkHandle h, uint32_t reserved);
// Forgets the current peer without closing anything; the next packet from
// any caller (the old peer included) makes its sender the current peer.
LINKCORE_API int AcceptAnyCaller(LinkHandle h);
// Non-zero while there is a current peer.
LINKCORE_API int IsSessionActive(LinkHandle h);
// Address bytes of the current peer / of this endpoint (WIRE.md). *size is
// the capacity on entry and the number of bytes stored on return.
LINKCORE_API int GetRemoteName(LinkHandle h, void* buffer, int* size);
LINKCORE_API int GetLocalName(LinkHandle h, void* buffer, int* size);
// Closes the endpoint; the handle is never valid again.
LINKCORE_API int DeinitProtocol(LinkHandle h);

// The calling thread's last-error code as the functions above left it.
LINKCORE_API uint32_t LinkGetLastError(void);
// Keyed sessions (WIRE.md, "Keyed sessions").
//
// With a site key configured, every session an endpoint opened afterwards
// serves (TCP connection or datagram caller) starts with a handshake in
// which both ends prove they hold the key and derive fresh session keys;
// every packet after it travels encrypted and authenticated. Packets that
// fail (wrong key, replayed, altered, truncated, of another session) are
// dropped before RecvPacket could hand them out, counted, and reported
// through the log function at most once every 10 seconds. A caller whose
// first message does not prove the key gets no answer at all. The packet
// sizes the programs see are unchanged (1 to LC_MAX_PACKET bytes).
// Without a key the wire format is exactly the unkeyed one.
enum : uint32_t { LC_SITE_KEY_BYTES = 32 };

// Sets the process-wide site key: len 32 configures it, len 0 (or a null
// key) clears it. It applies to endpoints opened and qv::link::Client
// objects created afterwards; call it before opening any. Returns 1, or 0
// with last error LC_ERR_KEY for another length or when the system offers
// no AES-GCM / HMAC-SHA256.
LINKCORE_API int LinkSetSiteKey(const uint8_t* key, uint32_t len);
// How many received packets the keyed layer has dropped in this process so
// far (all endpoints and clients together).
LINKCORE_API uint32_t LinkGetDroppedPackets(void);
// Where linkcore writes its few log lines (one line, no newline at the
// end). Null restores the default: OutputDebugString on Windows, standard
// error elsewhere. The function may be called from any thread.
typedef void (*LinkLogFunction)(const char* line);
LINKCORE_API void LinkSetLogFunction(LinkLogFunction fn);

// The fixed rule that maps the value handed to InitIPXSession to a UDP port.
LINKCORE_API uint16_t LinkIpxSocketToUdpPort(uint32_t socket);
