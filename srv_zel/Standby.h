// Standby: srv_zel on a read-only PostgreSQL database, typically a store's
// hot standby that replicates the head office's catalogue: the checks that
// keep srv_zel from writing there (serving creates nothing and names what is
// missing; importing is refused and sent to the head office). The watch of
// the replication (ReplicaWatch.h) is made in Standby.cpp too.
#pragma once

namespace zel {

class PgConnection;

// True when the connection's database refuses writes: a standby in
// recovery, or a database whose transactions are read-only by default.
bool IsReadOnlyDatabase(PgConnection& conn);

// For serving a read-only database: throws StoreError naming every table,
// role and grant the catalogue lacks there, and where to create them.
void CheckReadOnlyCatalogue(PgConnection& conn);

// For import and init-demo on a read-only database: throws StoreError that
// names the head office (the primary it replicates from, when known) as
// the place to write.
[[noreturn]] void RefuseWritingToReadOnly(PgConnection& conn);

}  // namespace zel
