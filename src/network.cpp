#include "network.h"

NetworkSection *network_section = nullptr;

NetworkSection::NetworkSection() : Section(NETWORK_SPEC) {}

void NetworkSection::update() {}
