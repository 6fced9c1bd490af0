// The two roads of every single-index operation, written once:
//
//     api_pattern = self._get_api_pattern_for_index(index_url)
//     if api_pattern:
//         return await json_road(api_pattern)   # a configured pattern commits to the API
//     if not UNEARTH_AVAILABLE:
//         logger.debug(f"No API pattern and unearth not available for {index_url}")   # unless quiet
//         return no_finder()
//     return await finder_road()
//
// Each operation gives its roads (json_api.hpp, finder_road.hpp) and its
// answer when the finder library is missing.
#pragma once

#include "index_api/finder_road.hpp"

namespace pic::index_api {

template <class JsonRoad, class NoFinder, class FinderRoad>
Task<Object> api_or_finder(const Object& self, const Object& index_url, JsonRoad json_road, NoFinder no_finder,
                           FinderRoad finder_road, Quiet quiet = Quiet::no) {
    Local api_pattern = self.call_method("_get_api_pattern_for_index"_id, index_url);
    if (api_pattern.truthy()) {
        Object answer = co_await json_road(api_pattern);
        co_return answer;
    }
    if (unearth_missing(index_url, quiet)) co_return no_finder();
    Object answer = co_await finder_road();
    co_return answer;
}

}  // namespace pic::index_api
