// The walk's AWS clients and credentials. Each worker makes one STS client and one EC2
// client per region and keeps them for the whole walk: making a client costs tens of
// milliseconds (botocore builds a method for every EC2 operation), and a kept client keeps
// its connections. The STS clients sign with the base credentials, resolved once on the
// calling thread; an EC2 client signs with the credentials of the account whose unit the
// worker runs now, handed to it at the start of every request it makes for that unit.
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

// A boto3 session of the worker that reads the service descriptions through the walk's
// loader and takes its credentials from `credentials` (None: no credentials).
py::object session_with(const Walk& walk, py::handle credentials) {
    py::object botocore_session = native::host_attr("botocore.session", "get_session")();
    botocore_session.attr("register_component")("data_loader", walk.loader);
    py::object found = py::reinterpret_borrow<py::object>(credentials);
    py::cpp_function load([found]() { return found; });
    botocore_session.attr("register_component")(
        "credential_provider", native::host_attr("types", "SimpleNamespace")("load_credentials"_a = load));
    return global("boto3").attr("session").attr("Session")("botocore_session"_a = botocore_session);
}

// The worker's client of `service` in `region`, made the first time it is asked for.
py::object worker_client(const WalkPtr& walk, const char* service, py::handle region) {
    py::object local = walk->sessions;
    const std::string cache = std::string("clients_") + service;
    py::object clients = py::getattr(local, cache.c_str(), py::none());
    if (clients.is_none()) {
        clients = py::dict();
        local.attr(cache.c_str()) = clients;
    }
    py::object client = clients.attr("get")(region);
    if (!client.is_none()) return client;
    py::object session;
    if (std::string(service) == "sts") {
        session = py::getattr(local, "base_session", py::none());
        if (session.is_none()) {
            session = session_with(*walk, walk->base_credentials);
            local.attr("base_session") = session;
        }
    } else {
        session = py::getattr(local, "account_session", py::none());
        if (session.is_none()) {
            py::object current = walk->unit_credentials_type();
            local.attr("account_credentials") = current;
            session = session_with(*walk, current);
            local.attr("account_session") = session;
        }
    }
    client = watched(session.attr("client")(service, "region_name"_a = region, "config"_a = walk->client_config), walk);
    clients[region] = client;
    return client;
}

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

py::object resolve_base_credentials() {
    py::object credentials = native::host_attr("botocore.session", "get_session")().attr("get_credentials")();
    // Credentials of a role profile are fetched on first use: the MFA prompt comes now, once.
    if (!credentials.is_none()) credentials.attr("get_frozen_credentials")();
    return credentials;
}

py::object unit_credentials_type() {
    // Credentials whose keys are those of the account the worker acts for now (`current`):
    // botocore reads them when it signs a request, on the worker's own thread.
    py::object type = native::make_class("generator.generate", "_UnitCredentials",
                                         py::make_tuple(native::host_attr("botocore.credentials", "Credentials")));
    // Methods of their own, not overloads of botocore's. (pybind11 takes a function named
    // __init__ for the constructor of a class of its own: this one goes by another name.)
    type.attr("__init__") = py::cpp_function(
        [](py::object self) {
            self.attr("current") = py::none();
            self.attr("method") = "assume-role";
            self.attr("account_id") = py::none();
        },
        py::name("start_empty"), py::is_method(type));
    type.attr("get_frozen_credentials") = py::cpp_function(
        [](py::object self) { return self.attr("current").attr("get_frozen_credentials")(); },
        py::name("get_frozen_credentials"), py::is_method(type));
    py::object property = native::host_attr("builtins", "property");
    for (const char* name : {"access_key", "secret_key", "token"}) {
        const std::string key = name;
        type.attr(name) = property(py::cpp_function([key](py::object self) { return self.attr("current").attr(key.c_str()); }));
    }
    return type;
}

py::object worker_sts(const WalkPtr& walk, py::handle region) { return worker_client(walk, "sts", region); }

py::object worker_ec2(const WalkPtr& walk, py::handle region, py::handle account_credentials) {
    py::object client = worker_client(walk, "ec2", region);
    walk->sessions.attr("account_credentials").attr("current") = account_credentials;
    return client;
}

py::object account_credentials(const WalkPtr& walk, py::handle home, py::handle role_arn, py::handle creds) {
    py::object arn = py::reinterpret_borrow<py::object>(role_arn);
    py::object region = py::reinterpret_borrow<py::object>(home);
    // Assumed again by the worker that finds them close to their end, through its own STS client.
    py::cpp_function refresh([walk, region, arn]() -> py::object {
        return metadata_of(assume_role(worker_sts(walk, region), arn)["Credentials"]);
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
