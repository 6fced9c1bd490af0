#include "module/method_table.hpp"

#include "config/settings.hpp"
#include "module/client.hpp"
#include "module/fallbacks.hpp"

namespace pic {

namespace {

constexpr const char* kClient = "PackageIndexClient";

constexpr Param untyped(const char* name) { return {name, Arg::any, nullptr, false}; }
constexpr Param str_param(const char* name) { return {name, Arg::str, "str", false}; }
constexpr Param optional_str(const char* name) { return {name, Arg::optional_str, "Optional[str]", true}; }
constexpr Param optional_list(const char* name) { return {name, Arg::optional_list, "Optional[List[str]]", true}; }

const MethodSpec kClientMethods[] = {
    {kClient, "__init__", {untyped("settings_manager")}, nullptr, Returns::any,
     "Initialize the PackageIndexClient.\n\n"
     "Args:\n    settings_manager: The host's settings manager, passed unchanged to the pip settings accessors.",
     body<client::init>()},
    {kClient, "_get_session", {}, nullptr, Returns::any,
     "Get or create aiohttp session.\n\n"
     "Returns:\n    The open shared ClientSession; a closed one is replaced by a new session.",
     body<client::get_session>()},
    {kClient, "close", {}, nullptr, Returns::any, "Close HTTP session.", body<client::close>()},
    {kClient, "_normalize_name", {str_param("name")}, "str", Returns::str,
     "Normalize package name per PEP 503.\n\n"
     "Args:\n    name: Package name in any spelling.\n\n"
     "Returns:\n    The name lower-cased, each run of '-', '_' and '.' replaced by one '-'.",
     body<config::normalize_name>()},
    {kClient, "_get_pip_settings", {}, "Dict[str, Any]", Returns::dict,
     "Get pip settings from settings manager.\n\n"
     "Returns:\n    Dict with 'index_urls' (entries with 'url' and optional 'primary') and 'use_secondary_urls'.",
     body<config::get_pip_settings>()},
    {kClient, "_get_pip_api_list", {}, "List[Dict[str, str]]", Returns::list,
     "Get pip_api list from settings.\n\n"
     "Returns:\n    List of entries with 'index_url' and 'api_pattern'.",
     body<config::get_pip_api_list>()},
    {kClient, "_normalize_url", {str_param("url")}, "str", Returns::str,
     "Normalize URL by stripping trailing slashes and backslashes.\n\n"
     "Args:\n    url: Index URL.\n\n"
     "Returns:\n    The URL without trailing '/' and '\\\\' characters.",
     body<config::normalize_url>()},
    {kClient, "_get_api_pattern_for_index", {str_param("index_url")}, "Optional[str]", Returns::str,
     "Get API pattern for a given index URL.\n\n"
     "Args:\n    index_url: Index URL, compared after normalization.\n\n"
     "Returns:\n    The API URL pattern of the first matching entry, or None.",
     body<config::get_api_pattern_for_index>()},
};

const MethodSpec kDummyMetadataMethods[] = {
    {"_dummy_metadata", "get_all", {}, nullptr, Returns::any, nullptr, body<fallbacks::metadata_get_all>(), true},
};

const MethodSpec kDummyDistMethods[] = {
    {"_dummy_dist", "__init__", {untyped("name"), untyped("version")}, nullptr, Returns::any, nullptr,
     body<fallbacks::dist_init>()},
};

}  // namespace

std::span<const MethodSpec> client_methods() { return kClientMethods; }
std::span<const MethodSpec> dummy_metadata_methods() { return kDummyMetadataMethods; }
std::span<const MethodSpec> dummy_dist_methods() { return kDummyDistMethods; }

}  // namespace pic
