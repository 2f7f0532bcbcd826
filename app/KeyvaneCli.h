#pragma once

// The command-line companion: list, show, watch, export and find in the store.
//
//   keyvane-cli [--snapshot FILE] list [PATTERN]   sorted keys matching PATTERN (default ".*")
//   keyvane-cli [--snapshot FILE] show KEY         type name, then the value's text
//   keyvane-cli [--snapshot FILE] watch            changed keys, as they change, until interrupted
//   keyvane-cli [--snapshot FILE] export FILE      every key and value as an XML property list
//   keyvane-cli [--snapshot FILE] find [--values] [--regex] [--case] TEXT
//                                                  keys holding TEXT (with --values, values too)
//
// Exit status: 0 on success, 1 when `show` finds no such key or `find`
// nothing, 2 on a usage error, an invalid expression, a store source that
// cannot serve, or a failed export.
namespace kv::app {

int keyvaneCliMain(int argc, char **argv);

} // namespace kv::app
