#include "service.h"

int main(int argc, char** argv) {
    return service::service_main(argc, argv);
}
