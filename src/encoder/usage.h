#pragma once

namespace pelorin::encoder {

// Writes the command-line usage text.
void writeUsage(int fd);

}  // namespace pelorin::encoder
