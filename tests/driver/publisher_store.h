// The test publisher certificate in the current user's TrustedPublisher store.
#pragma once

namespace corvane::testing {

// Copies of the test publisher certificate in the store (-1: no store).
int publisherCopiesInStore();
// Wine's store does not write a deletion back to the registry, so the tests clear the
// store's key itself (the prefix is the test run's own).
void removePublisherFromStore();

}  // namespace corvane::testing
