#include "Voltkeep.h"

int main(int argc, char **argv)
{
    NVL::Engineering::VK::Voltkeep server(argc, argv);
    return server.run();
}
