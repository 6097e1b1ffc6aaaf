#include "service.h"

int main(int argc, char** argv) {
    return service::serviceMain(argc, argv);
}
