#pragma once

#include <functional>

class QObject;

namespace kv::ui {

// Ends the application: leaves the event loop with status 0.
void terminate(QObject *sender);

// Tests replace what terminate does (an empty function restores the default).
void setTerminateHandler(std::function<void(QObject *sender)> handler);

} // namespace kv::ui

#include <thread>

namespace kv::ui {

// Reads the system's font configuration on a thread of its own while the
// application starts. The first text a window measures makes fontconfig parse
// every configuration file and font cache (tens of millions of instructions),
// while setting up the window system leaves the main thread mostly waiting.
// The thread calls nothing but fontconfig, which is thread-safe. Made before
// the application object; waited for before the first window is made, which
// then finds the configuration read, and before the application object goes
// (Qt releases the configuration then).
class FontConfigurationReadAhead
{
public:
    FontConfigurationReadAhead();
    ~FontConfigurationReadAhead(); // waits
    FontConfigurationReadAhead(const FontConfigurationReadAhead &) = delete;
    FontConfigurationReadAhead &operator=(const FontConfigurationReadAhead &) = delete;

    // Waits until the font configuration is read.
    void wait();

private:
    std::thread m_thread;
};

} // namespace kv::ui
