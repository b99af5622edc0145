// Where a relocation leads: plain functions on addresses, without sockets.
#pragma once

#include <string>

namespace kapo {

// The statuses that send the client elsewhere with their location field: 301, 302, 303, 307
// and 308. A location on any other response names nothing to fetch.
bool IsRelocationStatus(int Status);
// Ref resolved against the absolute address Base ("scheme://authority/path?query") the way
// a browser does: absolute, "//host/path", "/path", "path", "../path", "?query" and "#frag"
// references, dot segments removed. The result has no fragment.
std::string ResolveReference(const std::string& Base, const std::string& Ref);

}  // namespace kapo
