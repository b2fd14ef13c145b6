// nexo: control daemon of the ST 2110 receiver board.
#include "nexo.h"

int main(int argc, char** argv) {
    return nexo::nexo_main(argc, argv);
}
