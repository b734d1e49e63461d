#pragma once

#include <cstdint>

// Writes two texts into two zero-filled buffers of 256 bytes: the IPv4 address
// of the interface that carries the default route, when it is a private address
// (10/8, 172.16/12, 192.168/16), and that interface's MAC address. Answers 1
// only when both were found.
uint8_t GetActivePrivateIPAddress(char* first, char* second);
