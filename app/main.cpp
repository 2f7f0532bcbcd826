#include "app/ApplicationMain.h"

int main(int argc, char **argv)
{
    return kv::app::applicationMain(argc, argv);
}
