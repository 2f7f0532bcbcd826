#pragma once

// Starts the application: parses the command line, chooses the store's
// source, loads the main interface, starts the controller and runs the event
// loop until the application ends. Returns the exit status.
namespace kv::app {

int applicationMain(int argc, char **argv);

} // namespace kv::app
