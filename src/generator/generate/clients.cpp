// The walk's AWS clients and credentials. The walk makes one STS client and one EC2 client
// per region and keeps them to the end, shared by the workers: making a client costs tens of
// milliseconds and megabytes (botocore builds a method for every EC2 operation), and a kept
// client keeps its connections. The STS clients sign with the base credentials, resolved once
// on the calling thread; an EC2 request signs with the credentials of the account whose unit
// the worker that makes it runs now.
#include <algorithm>
#include <string>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

// botocore's own margins before the end of temporary credentials: refresh when 15 minutes
// are left if another refresh is not under way, and before anything else at 10 minutes.
constexpr double kAdvisoryRefresh = 15 * 60;
constexpr double kMandatoryRefresh = 10 * 60;

// A boto3 session that reads the service descriptions through the walk's loader and takes
// its credentials from `credentials` (None: no credentials).
py::object session_with(const Walk& walk, py::handle credentials) {
    py::object botocore_session = native::host_attr("botocore.session", "get_session")();
    if (!walk.loader.is_none()) botocore_session.attr("register_component")("data_loader", walk.loader);
    py::object found = py::reinterpret_borrow<py::object>(credentials);
    py::cpp_function load([found]() { return found; });
    botocore_session.attr("register_component")(
        "credential_provider", native::host_attr("types", "SimpleNamespace")("load_credentials"_a = load));
    return global("boto3").attr("session").attr("Session")("botocore_session"_a = botocore_session);
}

// Credentials whose keys are those of the account the calling worker acts for now (the
// `credentials` of the walk's thread-local state): botocore reads them when it signs a
// request, on the worker's own thread.
py::object unit_credentials(py::object local) {
    py::object type = native::make_class("generator.generate", "_UnitCredentials",
                                         py::make_tuple(native::host_attr("botocore.credentials", "Credentials")));
    // Methods of their own, not botocore's (which would set the keys).
    type.attr("__init__") = py::cpp_function(
        [](py::object self) {
            self.attr("method") = "assume-role";
            self.attr("account_id") = py::none();
        },
        py::name("start_empty"), py::is_method(type));  // pybind11 takes a function named __init__ for its own
    type.attr("get_frozen_credentials") = py::cpp_function(
        [local](py::object) { return local.attr("credentials").attr("get_frozen_credentials")(); },
        py::name("get_frozen_credentials"), py::is_method(type));
    py::object property = native::host_attr("builtins", "property");
    for (const char* name : {"access_key", "secret_key", "token"}) {
        const std::string key = name;
        type.attr(name) = property(py::cpp_function([local, key](py::object) { return local.attr("credentials").attr(key.c_str()); }));
    }
    return type();
}

// The walk's client of `service` in `region`, made the first time a worker asks for it and
// then shared by all: botocore's clients may be called from several threads.
py::object walk_client(const WalkPtr& walk, const char* service, py::handle region) {
    py::object key = py::make_tuple(service, region);
    py::object client = walk->clients.attr("get")(key);
    if (!client.is_none()) return client;
    py::object session = std::string(service) == "sts" ? walk->base_session : walk->account_session;
    client = watched(session.attr("client")(service, "region_name"_a = region, "config"_a = walk->client_config), walk);
    return walk->clients.attr("setdefault")(key, client);  // another worker may have made one meanwhile
}

}  // namespace

void open_clients(Walk& walk) {
    walk.loader = native::host_attr("botocore.session", "get_session")().attr("get_component")("data_loader");
    py::object credentials = native::host_attr("botocore.session", "get_session")().attr("get_credentials")();
    // Credentials of a role profile are fetched on first use: the MFA prompt comes now, once.
    if (!credentials.is_none()) credentials.attr("get_frozen_credentials")();
    walk.base_session = session_with(walk, credentials);
    walk.account_session = session_with(walk, unit_credentials(walk.sessions));
    // A connection for every worker that asks in the same region at once.
    py::object pool = native::host_attr("botocore.config", "Config")(
        "max_pool_connections"_a = std::max(10L, walk.request.jobs));
    walk.client_config = walk.client_config.is_none() ? pool : walk.client_config.attr("merge")(pool);
}

namespace {

// The credentials mapping of an AssumeRole answer in botocore's metadata form.
py::dict metadata_of(py::handle creds) {
    py::dict metadata;
    metadata["access_key"] = creds["AccessKeyId"];
    metadata["secret_key"] = creds["SecretAccessKey"];
    metadata["token"] = creds["SessionToken"];
    py::object expiration = creds["Expiration"];
    metadata["expiry_time"] = py::isinstance<py::str>(expiration) ? expiration : expiration.attr("isoformat")();
    return metadata;
}

}  // namespace

py::object worker_sts(const WalkPtr& walk, py::handle region) { return walk_client(walk, "sts", region); }

py::object worker_ec2(const WalkPtr& walk, py::handle region, py::handle account_credentials) {
    walk->sessions.attr("credentials") = account_credentials;
    return walk_client(walk, "ec2", region);
}

py::object account_credentials(const WalkPtr& walk, py::handle home, py::handle role_arn, py::handle external_id,
                               py::handle creds) {
    py::object arn = py::reinterpret_borrow<py::object>(role_arn);
    py::object region = py::reinterpret_borrow<py::object>(home);
    py::object external = py::reinterpret_borrow<py::object>(external_id);
    // Assumed again by the worker that finds them close to their end.
    py::cpp_function refresh([walk, region, arn, external]() -> py::object {
        return metadata_of(assume_role(worker_sts(walk, region), arn, external)["Credentials"]);
    });
    // A role's credentials last an hour at most when roles are chained; short-lived ones
    // are refreshed when a quarter of their life is left, not on every request.
    py::object expiration = creds["Expiration"];
    double lifetime = kAdvisoryRefresh * 4;
    if (!py::isinstance<py::str>(expiration)) {
        py::object now = native::host_attr("datetime", "datetime").attr("now")(expiration.attr("tzinfo"));
        lifetime = py::object(expiration - now).attr("total_seconds")().cast<double>();
    }
    const double advisory = std::min(kAdvisoryRefresh, std::max(lifetime, 0.0) / 4);
    const double mandatory = std::min(kMandatoryRefresh, std::max(lifetime, 0.0) / 6);
    return native::host_attr("botocore.credentials", "RefreshableCredentials")
        .attr("create_from_metadata")(metadata_of(creds), refresh, "assume-role", "advisory_timeout"_a = advisory,
                                      "mandatory_timeout"_a = mandatory);
}

}  // namespace generate_module
