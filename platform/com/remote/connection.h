// One connection between two processes that call each other's automation
// objects. Each side exports the objects it sends (by id, counting the
// references the peer holds) and imports the peer's as proxies that implement
// IDispatch by calls back over the same connection.
//
// Threads: a reader thread per connection reads frames, one whole frame at a
// time. A return goes to the thread waiting for it; an incoming call (and a
// release) runs on the connection's home thread, posted to its message loop:
// the thread that registered the class objects in a server, the creating
// thread in a client. Wherever the home thread itself would block, it takes
// the socket over and reads what comes itself, so a frame needs no hand-off
// between threads: while it waits for a return (its reply, and anything
// else), and while its GetMessage is idle on a connection that had frames
// since the loop's previous wait (a call, which then comes out of that
// GetMessage; only whole frames there, the rest of a longer one is left to
// the reader thread). The reader thread reads again a millisecond after
// the home thread stops waiting or runs a call (at once when another thread
// waits for a return), so calls in a row do not wake it. A thread that waits
// for a return serves the calls posted to it meanwhile, so calls nest in
// both directions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/base/base.h"
#include "platform/com/remote/remote.h"

namespace com::remote::internal {

// The struct value crosses by value, copied through its IDispatch; the
// runtime knows the identities and member ids of its contract (a test holds
// them equal to the contract's own).
inline constexpr CLSID kStructClsid = {
    0x44F434A1, 0xDD6B, 0x400F, {0xA5, 0x5B, 0x78, 0x64, 0xB9, 0xC3, 0x1D, 0xF1}};
inline constexpr IID kStructIid = {
    0x2B3B5922, 0xEAB8, 0x49D9, {0xBA, 0xEC, 0x82, 0x18, 0x36, 0xEA, 0x0B, 0x61}};
inline constexpr DISPID kStructAddMember = 6;
inline constexpr DISPID kStructGetFirstMember = 7;
inline constexpr DISPID kStructGetNextMember = 8;

class Connection;
// A thread that runs incoming calls: its queued calls and its wake-ups.
struct ThreadContext;

// This thread's context; the thread gets the message queue that incoming
// calls are posted to.
std::shared_ptr<ThreadContext> ThisThreadContext();

// Starts serving `class_object` (an IClassFactory) to the peer on `fd`, which
// the connection then owns. Calls run on `home`'s message loop (a dead home
// refuses them); `on_closed` runs once when the connection is closed.
std::shared_ptr<Connection> ServeConnection(int fd, IUnknown* class_object,
                                            std::weak_ptr<ThreadContext> home,
                                            std::function<void()> on_closed);
// Asks the peer on `fd` (owned from here on) to create an object of its class;
// `iid` is IID_IUnknown or IID_IDispatch (a typed interface is had through
// com::MakeDispatchProxy over the IDispatch). The connection closes when the
// last proxy it gave is released.
HRESULT CreateRemoteInstance(int fd, REFIID iid, void** object);
// Disconnects: pending calls fail, the objects the peer held are released and
// proxies of the peer's objects fail their calls with RPC_E_DISCONNECTED.
void CloseConnection(const std::shared_ptr<Connection>& connection);

// For tests: who read the frames of a connection so far, its reader thread
// or the threads that waited on its socket themselves.
struct FramesRead {
  uint64_t by_reader = 0;
  uint64_t by_waiters = 0;
};
FramesRead FramesReadOf(const std::shared_ptr<Connection>& connection);
// For tests: whether the home thread waits on the socket now.
bool HomeWaitsOn(const std::shared_ptr<Connection>& connection);
// For tests: the connection a proxy of the peer's object calls through;
// null for any other object.
std::shared_ptr<Connection> ConnectionOf(IUnknown* object);

}  // namespace com::remote::internal
