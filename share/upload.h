// A peer's requests and the uploads that answer them.
#pragma once

struct ShareConnection;

// UI thread, when nothing else is being sent on the connection: takes the request collected in
// its requestIntake and starts the upload that answers it. A request that cannot be served gets
// nothing, on the wire or on disk.
void takeRequest(ShareConnection* connection);
