#include "app/KeyvaneCli.h"

int main(int argc, char **argv)
{
    return keyvaneCliMain(argc, argv);
}
