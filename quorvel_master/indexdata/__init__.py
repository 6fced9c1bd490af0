"""Index data the client's interface does not carry: project pages and core metadata."""
