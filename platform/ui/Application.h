#pragma once

#include <functional>

class QObject;

namespace kv::ui {

// Ends the application: leaves the event loop with status 0.
void terminate(QObject *sender);

// Tests replace what terminate does (an empty function restores the default).
void setTerminateHandler(std::function<void(QObject *sender)> handler);

} // namespace kv::ui

namespace kv::ui {

// SIGINT, SIGTERM and SIGHUP end the application like terminate() does, from
// the event loop.
void quitOnTerminationSignals();

} // namespace kv::ui
