#pragma once

// The command-line companion: list, show, watch, export and find in the store,
// and diff between property-list files (or the store and a file).
//
//   keyvane-cli [--snapshot FILE] list [--json] [PATTERN]
//                                                  sorted keys matching PATTERN (default ".*")
//   keyvane-cli [--snapshot FILE] show [--json] KEY
//                                                  type name, then the value's text (or its JSON)
//   keyvane-cli [--snapshot FILE] watch [--json]   changed keys (or JSON changes), until interrupted
//   keyvane-cli [--snapshot FILE] export FILE      every key and value as an XML property list
//   keyvane-cli [--snapshot FILE] find [--values] [--regex] [--case] TEXT
//                                                  keys holding TEXT (with --values, values too)
//   keyvane-cli diff [--json] OLD NEW              differences between two property-list files
//   keyvane-cli [--snapshot FILE] diff [--json] --store NEW
//                                                  differences between the store and a file
//
// Exit status: 0 on success, 1 when `show` finds no such key, `find`
// nothing or `diff` differences, 2 on a usage error, an invalid expression, a
// store source that cannot serve, a file diff cannot read, or a failed export.
namespace kv::app {

int keyvaneCliMain(int argc, char **argv);

} // namespace kv::app
