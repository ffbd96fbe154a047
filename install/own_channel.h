#pragma once

#include <string>

// The distributor identifier this installer records and logs: the channel stamped into its own file's signature
// (see install/channel_stamp.h), else the one it was built with (DistributorId). Read once, on the first call.
const std::string& DistributorIdOfThisInstaller();
