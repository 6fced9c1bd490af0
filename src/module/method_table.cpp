#include "module/method_table.hpp"

#include "config/settings.hpp"
#include "environment/distributions.hpp"
#include "environment/requirement.hpp"
#include "environment/specifier.hpp"
#include "finder/metadata.hpp"
#include "finder/versions.hpp"
#include "index_api/dependencies_from_index.hpp"
#include "index_api/exists_in_index.hpp"
#include "index_api/extras_from_index.hpp"
#include "index_api/info_from_index.hpp"
#include "index_api/versions_from_index.hpp"
#include "module/client.hpp"
#include "module/fallbacks.hpp"
#include "queries/find_repo.hpp"
#include "queries/get_dependencies.hpp"
#include "queries/get_extras.hpp"
#include "queries/get_package_info.hpp"
#include "queries/get_versions.hpp"

namespace pic {

namespace {

constexpr const char* kClient = "PackageIndexClient";

constexpr Param untyped(const char* name) { return {name, Arg::any, nullptr, false}; }
constexpr Param str_param(const char* name) { return {name, Arg::str, "str", false}; }
constexpr Param optional_str(const char* name) { return {name, Arg::optional_str, "Optional[str]", true}; }
constexpr Param optional_list(const char* name) { return {name, Arg::optional_list, "Optional[List[str]]", true}; }

const MethodEntry kClientMethods[] = {
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
    {kClient, "_get_current_distributions", {}, "Dict[str, importlib.metadata.Distribution]", Returns::dict,
     "Get cached current Python environment distributions.\n\n"
     "Returns:\n    Dict of normalized name to installed distribution (standard-library modules included\n"
     "    at the interpreter's version), built on first use and kept until cleared.",
     body<environment::get_current_distributions>()},
    {kClient, "clear_distributions_cache", {}, nullptr, Returns::any,
     "Clear the distributions cache to force refresh.", body<environment::clear_distributions_cache>()},
    {kClient, "check_specifier_in_dist", {str_param("package_name"), str_param("version_spec"), optional_list("extras")},
     "Optional[str]", Returns::str,
     "Check if a package specifier is satisfied by the current Python environment.\n\n"
     "Args:\n    package_name: Distribution name in any spelling.\n"
     "    version_spec: Version specifier; empty or blank means any version.\n"
     "    extras: Extras the installed distribution must declare, or None.\n\n"
     "Returns:\n    The installed version text when the requirement is met, else None.",
     body<environment::check_specifier_in_dist>()},
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
    {kClient, "find_repo_for_package", {str_param("package_name")}, "Optional[str]", Returns::str,
     "Find the first repository URL where package exists.\n\n"
     "Args:\n    package_name: Package name, passed to each index as given.\n\n"
     "Returns:\n    The URL of the first index (primary, then secondaries) that holds the package,\n"
     "    exactly as configured, or None.",
     body<queries::find_repo_for_package>()},
    {kClient, "find_repo_for_package_version", {str_param("package_name"), str_param("version")}, "Optional[str]",
     Returns::str,
     "Find the first repository URL with specific package version.\n\n"
     "Args:\n    package_name: Package name, passed to each index as given.\n    version: Version string.\n\n"
     "Returns:\n    The URL of the first index that holds this version, exactly as configured, or None.",
     body<queries::find_repo_for_package_version>()},
    {kClient, "_package_exists_in_index", {str_param("package_name"), str_param("index_url")}, "bool",
     Returns::any,
     "Check if package exists in an index.\n\n"
     "Args:\n    package_name: Package name.\n    index_url: Index URL as configured.\n\n"
     "Returns:\n    True when the index's API answers 200 (or the finder lists a file); False otherwise.",
     body<index_api::package_exists_in_index>()},
    {kClient, "_package_version_exists_in_index",
     {str_param("package_name"), str_param("version"), str_param("index_url")}, "bool", Returns::any,
     "Check if specific package version exists in an index.\n\n"
     "Args:\n    package_name: Package name.\n    version: Version string.\n"
     "    index_url: Index URL as configured.\n\n"
     "Returns:\n    True when the index's API answers 200 for the version (or the finder matches it).",
     body<index_api::package_version_exists_in_index>()},
    {kClient, "_package_version_exists_via_unearth",
     {str_param("package_name"), str_param("version"), str_param("index_url")}, "bool", Returns::any,
     "Check if package version exists using unearth.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n    index_url: Index to ask.\n\n"
     "Returns:\n    True when the finder has a best match for package_name==version; False otherwise.",
     body<finder::package_version_exists_via_unearth>()},
    {kClient, "get_versions", {str_param("package_name"), optional_str("index_url")}, "List[str]", Returns::list,
     "Get all versions for a package from first available repo or specific index.\n\n"
     "Args:\n    package_name: Package name.\n"
     "    index_url: Ask only this index; None or empty walks the configured indexes.\n\n"
     "Returns:\n    Version strings, newest first, from the first index that has any; or [].",
     body<queries::get_versions>()},
    {kClient, "_get_versions_from_index", {str_param("package_name"), str_param("index_url")}, "List[str]",
     Returns::list,
     "Get versions from a specific index.\n\n"
     "Args:\n    package_name: Package name.\n    index_url: Index URL as configured.\n\n"
     "Returns:\n    Version strings, newest first; [] when the index has none or fails.",
     body<index_api::get_versions_from_index>()},
    {kClient, "_get_versions_via_unearth", {str_param("package_name"), str_param("index_url")}, "List[str]",
     Returns::list,
     "Get versions using unearth library (synchronous).\n\n"
     "Args:\n    package_name: Package name.\n    index_url: Index to ask.\n\n"
     "Returns:\n    Distinct version strings, newest first; [] on any failure.",
     body<finder::get_versions_via_unearth>()},
    {kClient, "get_extras", {str_param("package_name"), str_param("version"), optional_str("index_url")},
     "List[str]", Returns::list,
     "Get extras for a package/version from first available repo or specific index.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n"
     "    index_url: Ask only this index; None or empty walks the configured indexes.\n\n"
     "Returns:\n    List of extra names sorted alphabetically, or empty list if not found.",
     body<queries::get_extras>()},
    {kClient, "_get_extras_from_index", {str_param("package_name"), str_param("version"), str_param("index_url")},
     "Set[str]", Returns::set,
     "Get extras from a specific index.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n    index_url: Index URL as configured.\n\n"
     "Returns:\n    Set of extra names, or empty set on error.",
     body<index_api::get_extras_from_index>()},
    {kClient, "_get_extras_via_unearth", {str_param("package_name"), str_param("version"), str_param("index_url")},
     "Set[str]", Returns::set,
     "Get extras using unearth library by fetching wheel metadata.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n    index_url: Index to ask.\n\n"
     "Returns:\n    Extra names found in the Requires-Dist markers; empty set on any failure.",
     body<finder::get_extras_via_unearth>()},
    {kClient, "get_dependencies", {str_param("package_name"), str_param("version"), optional_str("index_url")},
     "List[Dict[str, Any]]", Returns::list,
     "Get dependencies for a package/version from first available repo or specific index.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n"
     "    index_url: Ask only this index; None or empty walks the configured indexes.\n\n"
     "Returns:\n    Dependency dicts (name, version_spec, extras, markers) from the first index\n"
     "    that has any, or empty list.",
     body<queries::get_dependencies>()},
    {kClient, "_get_dependencies_from_index",
     {str_param("package_name"), str_param("version"), str_param("index_url")}, "List[Dict[str, Any]]",
     Returns::list,
     "Get dependencies from a specific index.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n    index_url: Index URL as configured.\n\n"
     "Returns:\n    List of dependency dicts, or empty list on error.",
     body<index_api::get_dependencies_from_index>()},
    {kClient, "_get_dependencies_via_unearth",
     {str_param("package_name"), str_param("version"), str_param("index_url")}, "List[Dict[str, Any]]",
     Returns::list,
     "Get dependencies using unearth library by fetching wheel metadata.\n\n"
     "Args:\n    package_name: Package name.\n    version: Exact version.\n    index_url: Index to ask.\n\n"
     "Returns:\n    Dependency dicts from the Requires-Dist values; empty list on any failure.",
     body<finder::get_dependencies_via_unearth>()},
    {kClient, "_parse_requirement", {str_param("req")}, "Optional[Dict[str, Any]]", Returns::dict,
     "Parse a requirement string into components.\n\n"
     "Args:\n    req: Requirement string, e.g. \"requests[socks]>=2.0; python_version >= '3.8'\".\n\n"
     "Returns:\n    Dict with 'name', 'version_spec', 'extras' and 'markers', or None when no name can be read.",
     body<environment::parse_requirement>()},
    {kClient, "get_package_info", {str_param("package_name")}, "Dict[str, str]", Returns::dict,
     "Get package info including latest version and description.\n\n"
     "Args:\n    package_name: Package name.\n\n"
     "Returns:\n    {'name', 'latest_version', 'summary'} from the first index that knows the package,\n"
     "    or {'error': message} when none does.",
     body<queries::get_package_info>()},
    {kClient, "_get_package_info_from_index", {str_param("package_name"), str_param("index_url")},
     "Dict[str, str]", Returns::dict,
     "Get package info from a specific index.\n\n"
     "Args:\n    package_name: Package name.\n    index_url: Index URL as configured.\n\n"
     "Returns:\n    {'name', 'latest_version', 'summary'}, or {'error': message}.",
     body<index_api::get_package_info_from_index>()},
};

const MethodEntry kDummyMetadataMethods[] = {
    {"_dummy_metadata", "get_all", {}, nullptr, Returns::any, nullptr, body<fallbacks::metadata_get_all>(), true},
};

const MethodEntry kDummyDistMethods[] = {
    {"_dummy_dist", "__init__", {untyped("name"), untyped("version")}, nullptr, Returns::any, nullptr,
     body<fallbacks::dist_init>()},
};

}  // namespace

std::span<const MethodEntry> client_methods() { return kClientMethods; }
std::span<const MethodEntry> dummy_metadata_methods() { return kDummyMetadataMethods; }
std::span<const MethodEntry> dummy_dist_methods() { return kDummyDistMethods; }

}  // namespace pic
