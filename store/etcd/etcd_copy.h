// Copying one etcd store into another group by group, each group's text as it is, reading the
// source in pages and committing in transactions of a bounded size.
// Thread safety: each copy uses its own clients.
#pragma once

#include <zor-qel-rb-key/qel_copy.h>

// See zor::qel::CopyEtcdStore.
zor::qel::CopyCounts CopyEtcdGroups(const zor::qel::StoreLogin& source,
                                    const zor::qel::StoreLogin& destination,
                                    const zor::qel::CopyOptions& options);
