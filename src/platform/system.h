// What the program asks of the operating system about itself and its host: privileges, the
// network adapter's hardware address, the host's own addresses, host and service names.
//
// Addresses of the local host are IPv4 in network byte order; ports are host-order numbers here.
// Every call is thread-safe (the reentrant resolver calls are used).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace platform {

// Linux offers everything the program needs of the Windows NT platform.
constexpr bool kIsNt = true;

// The process runs with administrator rights: effective uid 0.
bool isAdministrator();

// The first non-loopback interface's hardware address as 12 upper-case hexadecimal digits, or
// "no nic" when there is none.
std::string adapterAddressText();

// The addresses the local host name resolves to, in resolver order. False when the host name
// cannot be taken or resolved.
bool localHostAddresses(std::vector<uint32_t>* addresses);

// Every IPv4 and IPv6 address of a host name, in the resolver's order, each once; false when the
// lookup fails or gives none.
bool resolveHost(const std::string& name, std::vector<IpAddress>* addresses);
// Replaces the resolver behind resolveHost (null restores the system's), so that fuzzing and
// tests need no name service.
using HostResolver = bool (*)(const std::string& name, std::vector<IpAddress>* addresses);
void setHostResolver(HostResolver resolver);

// The port of a TCP service name ("https" gives 443); 0 when the name is unknown.
uint16_t tcpServicePort(const std::string& name);
// The TCP service name of a port; empty when it has none.
std::string tcpServiceName(uint16_t port);

// Lets the process open as many descriptors as its hard limit allows (each relayed connection
// holds two). Returns the soft limit now in force.
unsigned long raiseDescriptorLimit();

}  // namespace platform
