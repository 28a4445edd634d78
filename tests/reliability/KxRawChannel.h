// The test's reading of a channel's raw segments, as any process of the machine can open them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// R and W of channel's queue, read from the raw segment (which this call keeps open only while it
// reads). False when the segment cannot be opened.
bool KxReadQueuePositions(const std::string& channel, std::uint32_t* read, std::uint32_t* write);
// Records in channel's queue from R to W; -1 when the ring is inconsistent or not there.
int KxCountQueuedRecords(const std::string& channel);
// The member list of channel as the raw segment holds it.
std::vector<std::uint32_t> KxReadMembers(const std::string& channel);
