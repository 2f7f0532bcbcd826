#pragma once

// The command-line companion: list, show, watch and export the store.
int keyvaneCliMain(int argc, char **argv);
