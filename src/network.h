// Network section: listening addresses and the local address of outgoing connections.
#pragma once

#include <iterator>

#include "section.h"

enum NetworkSub : int { NETWORK_SUB_LISTEN = 0, NETWORK_SUB_INTERFACE };
enum ListenField : int { LISTEN_ENABLED = 0, LISTEN_COMMENT, LISTEN_PORT, LISTEN_ADDRESS };
enum InterfaceField : int {
  IFACE_ENABLED = 0, IFACE_COMMENT, IFACE_GROUPS, IFACE_PROFILES, IFACE_ADDRESS,
};

inline constexpr FieldSpec LISTEN_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"port", FT_INT}, {"address", FT_STRING} };
inline constexpr FieldSpec INTERFACE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"groups", FT_STRING_LIST},
  {"profiles", FT_STRING_LIST}, {"address", FT_STRING} };
inline constexpr SubsectionSpec NETWORK_SUBSECTIONS[] = {
  {"listen", LISTEN_FIELDS}, {"interface", INTERFACE_FIELDS} };
inline constexpr SectionSpec NETWORK_SPEC = { "network", {}, NETWORK_SUBSECTIONS };

static_assert(std::size(NETWORK_SUBSECTIONS) == NETWORK_SUB_INTERFACE + 1);
static_assert(std::size(LISTEN_FIELDS) == LISTEN_ADDRESS + 1);
static_assert(std::size(INTERFACE_FIELDS) == IFACE_ADDRESS + 1);

class NetworkSection : public Section {
 public:
  NetworkSection();
  void update() override;
};
extern NetworkSection *network_section;
