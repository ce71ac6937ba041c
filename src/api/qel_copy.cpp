// Copying a whole etcd store into another.
#include <zor-qel-rb-key/qel_copy.h>

#include "etcd_copy.h"

namespace zor::qel {

CopyCounts CopyEtcdStore(const StoreLogin& source, const StoreLogin& destination,
                         const CopyOptions& options) {
  return CopyEtcdGroups(source, destination, options);
}

}  // namespace zor::qel
