#include "app/KeyvaneCli.h"

int main(int argc, char **argv)
{
    return kv::app::keyvaneCliMain(argc, argv);
}
