#pragma once

namespace vexodl::pyload::internal {

// The codes of the vexodl::VexoError that this library throws; they belong to the range 2500 to
// 2999 that the back-end libraries share out (docs/pyload-protocol.md lists them). Failures of
// pyLoad itself or of the channel are results (false, or verification 0), never exceptions.
inline constexpr int kErrorBadSetting = 2501;         // an environment override is unusable
inline constexpr int kErrorSocketPathTooLong = 2502;  // does not fit into sockaddr_un

}  // namespace vexodl::pyload::internal
