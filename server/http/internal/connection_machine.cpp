#include "server/http/internal/connection_machine.h"

#include <algorithm>

namespace server {

namespace {

uint32_t Key(ConnState state, Event event) {
  return (static_cast<uint32_t>(event) << 16) + static_cast<uint16_t>(state);
}

using S = ConnState;
using E = Event;
using A = Action;

constexpr StateMachine::Row kConnectionRows[] = {
    {S::ReadingHead, S::ReadingHead, E::IoComplete, A::ParseRequest},
    {S::ReadingHead, S::NoVersion, E::NoVersion, A::RefuseVersionless},
    {S::ReadingHead, S::Handling, E::HeadersReceived, A::AnalyseHeaders},
    {S::ReadingHead, S::ErrorPage, E::BadRequest, A::QueueBadRequestLine},
    {S::Handling, S::Handling, E::RequestComplete, A::DispatchMethod},
    {S::NoVersion, S::ErrorPage, E::BadRequest, A::QueueBadVersionlessRequest},
    {S::NoVersion, S::ErrorPage, E::VersionNotSupported, A::QueueVersionlessNotSupported},
    {S::Handling, S::ErrorPage, E::BadRequest, A::QueueBadRequest},
    {S::Handling, S::ErrorPage, E::MethodNotAllowed, A::QueueMethodNotAllowed},
    {S::Handling, S::ErrorPage, E::NotFound, A::QueueNotFound},
    {S::Handling, S::ErrorPage, E::ServiceUnavailable, A::QueueServiceUnavailable},
    {S::Handling, S::ErrorPage, E::VersionNotSupported, A::QueueVersionNotSupported},
    {S::Handling, S::ErrorPage, E::Forbidden, A::QueueForbidden},
    {S::ReadingHead, S::SocketLost, E::SocketClosed, A::LoseSocketReadingHead},
    {S::ReadingBody, S::SocketLost, E::SocketClosed, A::LoseSocketReadingBody},
    {S::Handling, S::SocketLost, E::SocketClosed, A::LoseSocketHandling},
    {S::Sending, S::SocketLost, E::SocketClosed, A::LoseSocketSending},
    {S::Handling, S::InternalError, E::InternalError, A::QueueInternalError},
    {S::Handling, S::Sending, E::ResponseReady, A::SendReply},
    // Either way of saying "a reply is queued" starts sending, so no handler
    // can strand its client by picking the other one.
    {S::Handling, S::Sending, E::ResponseQueued, A::SendQueuedReply},
    {S::Sending, S::Sending, E::IoComplete, A::SendNext},
    {S::ErrorPage, S::Sending, E::ResponseQueued, A::SendErrorPage},
    {S::InternalError, S::Sending, E::ResponseQueued, A::SendInternalErrorPage},
    {S::Handling, S::ReadingBody, E::BodyIncomplete, A::AwaitBody},
    // A client that asked to be told waits for "100 Continue" before sending
    // the body; its receive is posted once that has gone out.
    {S::Handling, S::SendingContinue, E::ContinueSent, A::AwaitContinueSent},
    {S::SendingContinue, S::ReadingBody, E::IoComplete, A::ReceiveAfterContinue},
    {S::SendingContinue, S::SocketLost, E::SocketClosed, A::LoseSocketSendingContinue},
    // A large request whose processing would take the server past its working
    // memory waits, holding no worker, until a wake says its share is taken.
    {S::Handling, S::AwaitingMemory, E::WorkingMemoryBusy, A::AwaitWorkingMemory},
    {S::AwaitingMemory, S::Handling, E::IoComplete, A::DispatchWithWorkingMemory},
    {S::AwaitingMemory, S::SocketLost, E::SocketClosed, A::LoseSocketAwaitingMemory},
    {S::ReadingBody, S::ReadingBody, E::IoComplete, A::ReceiveBody},
    {S::ReadingBody, S::Handling, E::BodyComplete, A::DispatchAfterBody},
    // The body's bytes so far no longer fit the server's budget.
    {S::ReadingBody, S::ErrorPage, E::ServiceUnavailable, A::QueueServiceUnavailable},
    {S::Sending, S::Sent, E::AllSent, A::LogRequest},
    {S::Sent, S::Closed, E::RequestLogged, A::Close},
    // Closing with unread input would reset the connection, and a client may
    // then lose the page: its write side ends first, its input is drained.
    {S::Sent, S::Draining, E::ErrorPageLogged, A::ShutdownAndDrain},
    {S::Draining, S::Draining, E::IoComplete, A::DrainInput},
    {S::Draining, S::Closed, E::InputDrained, A::Close},
    {S::Draining, S::Closed, E::SocketClosed, A::Close},
    {S::SocketLost, S::Closed, E::ResponseQueued, A::CloseLostSocket},
};

}  // namespace

StateMachine StateMachine::ForConnection() {
  StateMachine machine;
  for (const Row& row : kConnectionRows) machine.AddTransition(row);
  return machine;
}

void StateMachine::AddTransition(const Row& row) {
  const uint32_t key = Key(row.state, row.event);
  auto it = std::lower_bound(rows_.begin(), rows_.end(), key,
                             [](const auto& r, uint32_t k) { return r.first < k; });
  if (it != rows_.end() && it->first == key) return;  // the first row stays
  rows_.insert(it, {key, row});
}

const StateMachine::Row* StateMachine::Find(ConnState state, Event event) const {
  const uint32_t key = Key(state, event);
  auto it = std::lower_bound(rows_.begin(), rows_.end(), key,
                             [](const auto& r, uint32_t k) { return r.first < k; });
  return it != rows_.end() && it->first == key ? &it->second : nullptr;
}

bool StateMachine::PostEvent(Event event, ActionRunner& runner) {
  while (event != Event::None) {
    const Row* row = Find(state_, event);
    if (row == nullptr) return false;
    event = runner.RunAction(row->action);
    state_ = row->next;
  }
  return true;
}

}  // namespace server
