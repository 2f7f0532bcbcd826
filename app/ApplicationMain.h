#pragma once

// Starts the application: parses the command line, chooses the store's
// source, loads the main interface, starts the controller and runs the event
// loop until the application ends. Returns the exit status.
int applicationMain(int argc, char **argv);

class QString;

// The FILE of the last "--snapshot FILE" or "--snapshot=FILE" before any "--"
// in the raw arguments (empty when there is none): the file applicationMain
// starts reading before the application object exists. The command line is
// parsed properly afterwards; the file read ahead is used only when it is the
// one the parsed command line names.
QString snapshotArgument(int argc, char **argv);
