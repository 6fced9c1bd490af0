// Checking a file against the digests announced for it, as it streams.
#pragma once

#include <vector>

#include "runtime/ref.hpp"

namespace pic::finder {

// The digests a file must have, as {hashlib name: hex digest}. Names that
// hashlib does not know are left out; a non-empty `announced` of which none
// is known is an error, since nothing could be checked.
class Digests {
public:
    Digests(const Object& announced, const Object& url);
    bool empty() const { return expected_.empty(); }
    void update(const Object& chunk);
    void verify() const;  // ValueError on a mismatch

private:
    struct Entry {
        Object name, expected, hasher;
    };
    std::vector<Entry> expected_;
    Object url_;
};

}  // namespace pic::finder
