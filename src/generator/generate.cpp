// generator.generate: the `generate` command. Logs in to the Corvane Controller
// for its account names, assumes a role in every configured AWS account, lists
// the VPCs of each region, proposes a spoke-gateway name and a free block for
// each, and writes the review workbook and/or the minimal YAML inventory.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "native/globals.hpp"
#include "native/host.hpp"
#include "native/ipv4.hpp"
#include "native/model.hpp"
#include "native/outputs.hpp"
#include "native/quoted.hpp"
#include "native/refresh.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

// The module's own operations, seen by no other module.
namespace {

native::ModuleLog LOG;
native::ModuleGlobals global;  // the module's globals, read at call time as Python code would
namespace log_level = native::log_level;
using native::truthy;

const char* const kHeaders[] = {
    "account_id",   "account_name",   "hpe",    "managed_tgw", "filter_cidrs",        "spoke_gw_size", "role_name",
    "region",       "vpc_id",         "crvn_cidr", "gw_zones", "spoke_gw_tags",       "domain",        "encrypt",
    "inspection",   "spoke_advertisement", "spoke_routes", "spoke_gw_name", "transit_gw_name",
};
const char* const kMinAccountInfoFields[] = {"hpe", "managed_tgw", "filter_cidrs", "spoke_gw_size", "role_name"};

constexpr const char* kGatewaySuffix = "-CRVGW";
constexpr Py_ssize_t kNameCut = 23;
constexpr const char* kRoleSessionName = "AssumeRoleSession1";
constexpr long kDefaultJobs = 8;
constexpr long kMaxJobs = 256;  // more would only queue at AWS's throttling and exhaust threads
constexpr int kPartialStatus = 3;  // files written, some accounts or regions not covered
constexpr int kRegionSubnetPageSize = 1000;  // the most DescribeSubnets gives in one answer
constexpr const char* kRetryMode = "standard";
constexpr int kMaxAttempts = 10;
constexpr double kProgressInterval = 0.25;
constexpr const char* kDiscoveryRegion = "us-east-1";  // enabled in every account: where regions are listed  // seconds between updates of the progress line
// EC2 refusals of a region closed to the account (by policy, or not opted in).
const char* const kRefusalCodes[] = {"UnauthorizedOperation", "AuthFailure", "AccessDenied", "OptInRequired"};

py::list str_list(const char* const* begin, const char* const* end) {
    py::list out;
    for (auto it = begin; it != end; ++it) out.append(*it);
    return out;
}

// `value or NULL`
py::object or_null(py::object value) { return truthy(value) ? value : global("NULL"); }

py::object pformat(py::handle value) { return global("pformat")(value); }

// ---------------------------------------------------------------- controller

constexpr int kControllerTimeout = 30;  // seconds, to connect and then to answer

// A CorvaneError with `message`, caused by the caught error, as `raise ... from err` would make it.
[[noreturn]] void raise_corvane(const std::string& message, py::error_already_set& cause) {
    py::object corvane_error = global("CorvaneError");
    py::object error = corvane_error(message);
    error.attr("__cause__") = cause.value();
    PyErr_SetObject(corvane_error.ptr(), error.ptr());
    throw py::error_already_set();
}

// The decoded JSON body of a controller answer. A body that is not JSON (a web page,
// an empty answer) keeps the decoder's error, with a note saying whose answer it was.
py::object controller_json(py::handle response, const char* action, const std::string& url) {
    try {
        return response.attr("json")();
    } catch (py::error_already_set& err) {
        if (err.matches(PyExc_ValueError)) {
            native::add_note(err.value(), "the controller's answer to " + std::string(action) + " at " + url + " is not JSON");
        }
        throw;
    }
}

// ": <reason>" when the controller's answer says why it refused, shortened: it is the controller's text.
std::string controller_reason(py::handle body) {
    if (!PyDict_Check(body.ptr())) return "";
    py::object reason = py::reinterpret_borrow<py::dict>(body).attr("get")("reason");
    if (!PyUnicode_Check(reason.ptr())) return "";
    std::string text = native::text(reason);
    if (text.size() > 200) text = text.substr(0, 200) + "...";
    return ": " + text;
}

// The password: CORVANE_PASSWORD when set (scheduled runs, pipelines), else typed at the
// terminal, or read as a line from standard input where there is no terminal. Never logged.
py::object controller_password(const std::string& prompt, const std::string& address) {
    py::object from_environment = global("os").attr("environ").attr("get")("CORVANE_PASSWORD");
    if (truthy(from_environment)) return from_environment;
    try {
        py::object typed = global("getpass").attr("getpass")("prompt"_a = prompt);
        // A line piped from a file written on Windows ends in CR, which is no part of the password.
        if (py::isinstance<py::str>(typed) && truthy(typed.attr("endswith")("\r"))) {
            typed = typed[py::slice(std::nullopt, -1, std::nullopt)];
        }
        return typed;
    } catch (py::error_already_set& err) {
        // Without a terminal getpass reads standard input, which may be empty or closed.
        py::object input = global("sys").attr("stdin");
        const bool no_input = input.is_none() || truthy(py::getattr(input, "closed", py::bool_(false)));
        if (!err.matches(PyExc_EOFError) && !(no_input && err.matches(PyExc_Exception))) throw;
        py::object errors = global("sys").attr("stderr");
        if (!errors.is_none()) errors.attr("write")("\n");  // end the prompt's line
        raise_corvane("no password for the controller at " + address +
                          ": standard input ended before one was given; type it at the prompt, pipe it to "
                          "standard input or set CORVANE_PASSWORD",
                      err);
    }
}

// The errors behind a failed request: requests wraps urllib3's error, which wraps
// (or was raised while handling) the socket's or the TLS library's.
std::vector<py::object> error_causes(py::handle error) {
    py::object exception = native::host_attr("builtins", "BaseException");
    std::vector<py::object> found;
    std::vector<py::object> pending{py::reinterpret_borrow<py::object>(error)};
    while (!pending.empty() && found.size() < 32) {  // bounded: links may loop
        py::object current = pending.back();
        pending.pop_back();
        found.push_back(current);
        for (const char* link : {"__cause__", "__context__", "reason"}) {
            py::object next = py::getattr(current, link, py::none());
            if (py::isinstance(next, exception)) pending.push_back(next);
        }
        for (py::handle arg : py::getattr(current, "args", py::tuple())) {
            if (py::isinstance(arg, exception)) pending.push_back(py::reinterpret_borrow<py::object>(arg));
        }
    }
    return found;
}

// The first of `errors` that is a `module.name`, or None.
py::object first_of(const std::vector<py::object>& errors, const char* module, const char* name) {
    py::object wanted = native::host_attr(module, name);
    for (const auto& error : errors) {
        if (py::isinstance(error, wanted)) return error;
    }
    return py::none();
}

// Why the controller's certificate was refused, in the engineer's words, then OpenSSL's.
std::string certificate_reason(py::handle failure, py::handle verify) {
    py::object code = py::getattr(failure, "verify_code", py::none());
    py::object message = py::getattr(failure, "verify_message", py::none());
    std::string detail = native::text(message.is_none() ? py::str(failure) : message);
    while (!detail.empty() && detail.back() == '.') detail.pop_back();
    std::string what = "its certificate was refused";
    switch (code.is_none() ? -1 : code.cast<long>()) {
        case 9:  // X509_V_ERR_CERT_NOT_YET_VALID
            what = "not yet valid: its certificate's validity has not begun";
            break;
        case 10:  // X509_V_ERR_CERT_HAS_EXPIRED
            what = "expired: its certificate is past its end date";
            break;
        case 62:  // X509_V_ERR_HOSTNAME_MISMATCH
        case 64:  // X509_V_ERR_IP_ADDRESS_MISMATCH
            what = "name mismatch: its certificate is for another name or address";
            break;
        case 2:   // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT
        case 18:  // X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT
        case 19:  // X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN
        case 20:  // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY
        case 21:  // X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE
        case 27:  // X509_V_ERR_CERT_UNTRUSTED
            what = "unknown authority: its certificate does not chain to " +
                   (PyBool_Check(verify.ptr()) ? std::string("the trusted authorities")
                                               : "an authority in " + native::text(verify));
            break;
    }
    return what + " (" + detail + ")";
}

// Why a controller request failed, in plain words.
std::string transport_cause(py::handle error, py::handle timeout) {
    py::object exceptions = global("requests").attr("exceptions");
    const std::string limit = " within " + native::text(timeout) + " s (controller.timeout)";
    if (py::isinstance(error, exceptions.attr("ConnectTimeout"))) return "no connection" + limit;
    if (py::isinstance(error, exceptions.attr("ReadTimeout"))) return "no answer" + limit;
    const auto causes = error_causes(error);
    auto has = [&](const char* module, const char* name) { return !first_of(causes, module, name).is_none(); };
    if (has("socket", "gaierror")) return "its name does not resolve";
    if (has("builtins", "ConnectionRefusedError")) return "connection refused";
    py::object tls = first_of(causes, "ssl", "SSLError");
    if (!tls.is_none()) {
        const std::string reason = native::text(py::getattr(tls, "reason", py::none()));
        if (reason == "WRONG_VERSION_NUMBER" || reason == "RECORD_LAYER_FAILURE" ||
            reason == "PACKET_LENGTH_TOO_LONG" || reason == "UNKNOWN_PROTOCOL") {
            return "TLS failure: it does not answer in TLS (plain HTTP?)";
        }
        return "TLS failure: " + native::text(tls);
    }
    if (has("http.client", "RemoteDisconnected") || has("builtins", "ConnectionResetError") ||
        has("builtins", "ConnectionAbortedError") || has("builtins", "BrokenPipeError")) {
        return "the connection was closed without an answer";
    }
    if (has("builtins", "TimeoutError")) return "no answer" + limit;
    for (const auto& cause : causes) {
        py::object strerror = py::getattr(cause, "strerror", py::none());
        if (PyUnicode_Check(strerror.ptr())) return py::str(strerror).attr("lower")().cast<std::string>();
    }
    std::string text = native::text(error);
    if (text.size() > 300) text = text.substr(0, 300) + "...";
    return text;
}

// One POST to the controller, with its time-outs. A certificate that fails the
// configured check ends the run with one line naming the controller and the reason
// (the form was not sent); any other transport failure with one line naming the
// controller, the step and the cause, not urllib3's text.
py::object controller_post(const std::string& url, const py::dict& form, const char* step, py::handle controller_ip,
                           py::handle verify, py::handle timeout, const char* unsent) {
    try {
        return global("requests").attr("post")(url, "data"_a = form, "verify"_a = verify,
                                          "timeout"_a = py::make_tuple(timeout, timeout));
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception)) throw;
        const std::string address = native::text(controller_ip);
        py::object failure = first_of(error_causes(err.value()), "ssl", "SSLCertVerificationError");
        if (!failure.is_none()) {
            raise_corvane("cannot trust the controller at " + address + ": " + certificate_reason(failure, verify) +
                              "; " + unsent,
                          err);
        }
        if (!err.matches(global("requests").attr("exceptions").attr("RequestException"))) throw;
        raise_corvane("cannot reach the controller at " + address + " for the " + step + ": " +
                          transport_cause(err.value(), timeout),
                      err);
    }
}

// results.account_list of the account-list answer when it is a list of account
// records, each with its number and name; None otherwise.
py::object listed_accounts(py::handle body) {
    auto member = [](py::handle mapping, const char* key) -> py::object {
        if (!PyDict_Check(mapping.ptr())) return py::none();
        PyObject* value = PyDict_GetItemString(mapping.ptr(), key);
        return value ? py::reinterpret_borrow<py::object>(value) : py::none();
    };
    py::object accounts = member(member(body, "results"), "account_list");
    if (!PyList_Check(accounts.ptr())) return py::none();
    for (py::handle record : accounts) {
        if (!PyDict_Check(record.ptr())) return py::none();
        auto fields = py::reinterpret_borrow<py::dict>(record);
        if (!fields.contains("account_number") || !fields.contains("account_name")) return py::none();
    }
    return accounts;
}

py::object get_account_list(py::object config) {
    py::object controller = config.attr("controller");
    py::object controller_ip = controller.attr("ip");
    py::object username = controller.attr("username");
    // How the controller must prove who it is: False (no check), True or the path of a PEM file.
    py::object verify = py::getattr(controller, "verify", py::none());
    if (verify.is_none()) verify = py::bool_(false);  // requests would read None as "check"
    py::object timeout = py::getattr(controller, "timeout", py::none());
    if (timeout.is_none()) timeout = py::int_(kControllerTimeout);
    const std::string address = native::text(controller_ip);
    LOG(log_level::debug, "get_account_list", "Controller IP: '%s'", controller_ip);
    LOG(log_level::debug, "get_account_list", "Username: '%s'", username);

    const std::string prompt = "Corvane Controller " + native::text(username) + "@" + address + "'s password:";
    py::object password = controller_password(prompt, address);

    const std::string controller_api_url = "https://" + address + "/v1/api";
    LOG(log_level::debug, "get_account_list", "Controller API URL: '%s'", controller_api_url);
    LOG(log_level::info, "get_account_list", "Logging in as %s", username);

    py::dict login;
    login["action"] = "login";
    login["username"] = username;
    login["password"] = password;
    py::object r = controller_post(controller_api_url, login, "login", controller_ip, verify, timeout,
                                   "the password was not sent");

    // Decoded here, outside the guarded step: a body that is not JSON fails with the decoder's own error.
    py::object login_body = controller_json(r, "login", controller_api_url);
    LOG.lazy(log_level::debug, "get_account_list", "login response: \n%s", [&] { return py::make_tuple(pformat(login_body)); });

    py::object cid;
    try {
        cid = py::object(r.attr("json")()["CID"]);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception)) throw;
        // The missing key is no news to the engineer: its traceback only in the debug log.
        const char* failed = "Login failed. Please check Corvane Controller IP, username and password.";
        if (truthy(global("log").attr("isEnabledFor")(log_level::debug))) {
            LOG.with_error(log_level::error, "get_account_list", failed, err);
        } else {
            LOG(log_level::error, "get_account_list", failed);
        }
        py::object corvane_error = global("CorvaneError");
        py::object error = corvane_error("Failed to login to controller.\nUsername: " + native::text(username) +
                                         "\nController IP: " + address);
        error.attr("__context__") = err.value();  // as raising inside `except` would
        native::add_note(error, "the controller's answer to the login holds no session identifier (CID)" +
                            controller_reason(login_body));
        PyErr_SetObject(corvane_error.ptr(), error.ptr());
        throw py::error_already_set();
    }

    LOG(log_level::info, "get_account_list", "Getting list of accounts on controller.");
    py::dict list_accounts;
    list_accounts["action"] = "list_accounts";
    list_accounts["CID"] = cid;
    list_accounts["aws_iam_role_based"] = true;
    py::object response = controller_post(controller_api_url, list_accounts, "account list", controller_ip, verify,
                                          timeout, "the session identifier was not sent");
    LOG.lazy(log_level::debug, "get_account_list", "list_accounts response:\n%s",
             [&] { return py::make_tuple(pformat(controller_json(response, "list_accounts", controller_api_url))); });

    py::object list_body = controller_json(response, "list_accounts", controller_api_url);
    py::object account_list = listed_accounts(list_body);
    if (account_list.is_none()) {
        // A refusal (an expired session, a user without the right) answers without the list.
        native::raise(global("CorvaneError"), "the controller at " + address +
                                             " answered the account list without a list of accounts "
                                             "(results.account_list, each with account_number and account_name)" +
                                             controller_reason(list_body));
    }
    LOG.lazy(log_level::debug, "get_account_list", "Account List:\n%s", [&] { return py::make_tuple(pformat(account_list)); });
    return account_list;
}

// `account_id == number` as the host evaluates it: no shortcut for the very same
// object (py::object::equal has one), so a value unequal to itself never matches.
bool host_equal(py::handle left, py::handle right) {
    py::object result = py::reinterpret_steal<py::object>(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    if (!result) throw py::error_already_set();
    return truthy(result);
}

py::object get_acct_name(py::object account_id, py::object account_list) {
    for (py::handle record : account_list) {
        if (host_equal(account_id, py::object(record["account_number"]))) return record["account_name"];
    }
    return py::none();
}

// ----------------------------------------------------------------------- AWS

// The client configuration of every AWS client: botocore's "standard" retries with
// up to 10 attempts, so a throttled or briefly failing request is tried again. What
// the engineer set (AWS_RETRY_MODE, AWS_MAX_ATTEMPTS, the profile's retry_mode and
// max_attempts) is left to botocore, which reads it whenever the client leaves it out.
py::object retry_config() {
    py::object environ = global("os").attr("environ");
    py::object profile = native::host_attr("botocore.session", "get_session")().attr("get_scoped_config")();
    auto user_set = [&](const char* variable, const char* key) {
        return truthy(environ.attr("get")(variable)) || !py::object(profile.attr("get")(key)).is_none();
    };
    py::dict retries;
    if (!user_set("AWS_RETRY_MODE", "retry_mode")) retries["mode"] = kRetryMode;
    if (!user_set("AWS_MAX_ATTEMPTS", "max_attempts")) retries["total_max_attempts"] = kMaxAttempts;
    if (py::len(retries) == 0) return py::none();
    return native::host_attr("botocore.config", "Config")("retries"_a = retries);
}

// `aws` is the boto3 module (its default session) or a session of one worker.
py::object sts_client_of(py::handle aws, py::handle config) { return aws.attr("client")("sts", "config"_a = config); }

// An EC2 resource ("resource") or client ("client") for the region, acting with the temporary credentials.
py::object ec2_of(const char* kind, py::handle aws, py::handle aws_region, py::handle creds, py::handle config) {
    py::object key_id = creds["AccessKeyId"];
    py::object secret = creds["SecretAccessKey"];
    py::object token = creds["SessionToken"];
    return aws.attr(kind)("ec2", "region_name"_a = aws_region, "aws_access_key_id"_a = key_id,
                          "aws_secret_access_key"_a = secret, "aws_session_token"_a = token, "config"_a = config);
}

py::object assume_role(py::handle sts_client, py::handle role_arn) {
    return sts_client.attr("assume_role")("RoleArn"_a = role_arn, "RoleSessionName"_a = kRoleSessionName);
}

py::object region_names(py::handle ec2_client) {
    py::object response = ec2_client.attr("describe_regions")();
    py::list list_of_regions;
    for (py::handle region : response["Regions"]) list_of_regions.append(region["RegionName"]);
    return std::move(list_of_regions);
}

py::object get_regions(py::object creds) {
    return region_names(global("get_ec2_resource_handler")("us-east-1", creds).attr("meta").attr("client"));
}

py::object get_role_arn(py::object account_id, py::object role_name) {
    LOG(log_level::debug, "get_role_arn", "Role ARN for account_id: %s, role_name: %s", account_id, role_name);
    // Only the account number is turned into text: a role name that is not text fails as `+` would.
    py::object role_arn = py::str("arn:aws:iam::" + native::text(account_id) + ":role/") + role_name;
    LOG(log_level::debug, "get_role_arn", "Role ARN: %s", role_arn);
    return role_arn;
}

// Raise a host error object caught earlier (on another thread, say) again, with its traceback.
[[noreturn]] void reraise(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// The account of a role ARN ("arn:aws:iam::<account>:role/<name>"), or the ARN itself.
std::string account_of(py::handle role_arn) {
    py::object fields = py::str(role_arn).attr("split")(":");
    return py::len(fields) > 4 ? native::text(fields[py::int_(4)]) : native::text(role_arn);
}

// The engineer sees which account refused the role and why, where errors go; the run
// cannot go on without it.
[[noreturn]] void refused_role(const std::string& account, py::handle error) {
    global("print")("generate: error: account " + account + ": " + native::text(error), "file"_a = global("sys").attr("stderr"));
    global("sys").attr("exit")(1);
    reraise(error);  // a patched sys.exit that returns: keep the original failure
}

py::object get_temp_creds_for_account(py::object role_arn) {
    py::object sts_client = sts_client_of(global("boto3"), retry_config());
    py::object assumed_role;
    try {
        assumed_role = assume_role(sts_client, role_arn);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception)) throw;
        refused_role(account_of(role_arn), err.value());
    }
    return assumed_role["Credentials"];
}

py::object get_ec2_resource_handler(py::object aws_region, py::object creds) {
    return ec2_of("resource", global("boto3"), aws_region, creds, retry_config());
}

// An AWS error that ends the run says where it happened: "account 1111, region eu-west-1: An error
// occurred (AuthFailure) ...". The error keeps its type, code and AWS's message.
void name_place(py::error_already_set& err, const std::string& place) {
    py::object exceptions = native::host_module("botocore.exceptions");
    if (!err.matches(exceptions.attr("ClientError")) && !err.matches(exceptions.attr("BotoCoreError"))) return;
    py::object value = err.value();
    py::tuple args = value.attr("args");
    if (py::len(args) == 1 && py::isinstance<py::str>(args[0])) {
        value.attr("args") = py::make_tuple(place + ": " + native::text(args[0]));
    } else {
        native::add_note(value, place);
    }
}

// A refusal of the region's EC2 requests as unauthorized: AWS's error code, or "" for any other error.
std::string refusal_code(py::error_already_set& err) {
    if (!err.matches(native::host_attr("botocore.exceptions", "ClientError"))) return "";
    py::object code = py::object(py::object(err.value().attr("response")).attr("get")("Error", py::dict())).attr("get")("Code", "");
    const std::string text = native::text(code);
    for (const char* refusal : kRefusalCodes) {
        if (text == refusal) return text;
    }
    return "";
}

// ---------------------------------------------------------- naming and CIDR

// A Name tag as a gateway name may hold it: control characters (tab, line break, ...) become
// underscores like blanks; invisible format characters (bidi controls, zero-width spaces), which
// would make the name read as something it is not, are left out. `dropped` counts those.
py::str visible_name(py::handle name, long& dropped, bool& seen) {
    py::object category = native::host_attr("unicodedata", "category");
    std::string kept;
    for (py::handle character : name) {
        const std::string kind = native::text(category(character));
        if (kind == "Cf") {
            ++dropped;
        } else if (kind == "Cc") {
            kept += "_";
        } else {
            seen = seen || !truthy(character.attr("isspace")());
            kept += native::text(character);
        }
    }
    return py::str(kept);
}

py::object get_spoke_gw_name(py::object vpc) {
    py::object vpc_name = py::none();
    py::object tags = vpc.attr("tags");
    if (truthy(tags)) {
        for (py::handle tag : tags) {
            if (py::object(tag["Key"]).equal(py::str("Name"))) {
                vpc_name = tag["Value"];
                break;
            }
        }
    }
    if (py::isinstance<py::str>(vpc_name)) {
        long dropped = 0;
        bool seen = false;  // a character that shows
        py::str cleaned = visible_name(vpc_name, dropped, seen);
        if (dropped > 0) {
            LOG(log_level::warning, "get_spoke_gw_name",
                "VPC %s: its Name tag %s holds %s invisible characters (such as bidi controls or zero-width "
                "spaces), left out of its gateway name",
                py::getattr(vpc, "id", py::none()), py::repr(vpc_name), dropped);
        }
        // A name with nothing to show names nothing: the VPC's ID does.
        vpc_name = seen ? py::object(cleaned) : py::object(py::none());
    }
    py::object source = vpc_name.is_none() ? py::object(vpc.attr("id")) : vpc_name;
    py::object cut = source[py::slice(std::nullopt, kNameCut, std::nullopt)];
    py::object spoke_gw_name = py::str(cut) + py::str(kGatewaySuffix);
    return spoke_gw_name.attr("replace")(" ", "_");
}

std::string vpc_label(py::handle vpc) {
    return "Cannot compute crvn_cidr for vpc " + std::string(py::repr(py::getattr(vpc, "id", py::none()))) + ": ";
}

// The network a CIDR text stands for, or ValueError naming the VPC (and subnet) and what is wrong.
native::ipv4::Network network_or_raise(py::handle block, py::handle vpc, py::handle subnet_id) {
    if (block.is_none()) native::raise_builtin("ValueError", vpc_label(vpc) + "it has no IPv4 cidr_block");
    const auto parsed = native::ipv4::parse_network(native::text(block));
    if (parsed.network) return *parsed.network;
    const std::string what = subnet_id.is_none() ? std::string("its cidr_block")
                                                 : "the cidr_block of subnet " + std::string(py::repr(subnet_id));
    native::raise_builtin("ValueError", vpc_label(vpc) + what + " " + std::string(py::repr(block)) +
                                            " does not appear to be an IPv4 network (" + parsed.error + ")");
}

// The networks as the host's ipaddress module has them, for the debug dumps only.
py::list host_networks(const std::vector<native::ipv4::Network>& networks) {
    py::object ip_network = global("ipaddress").attr("ip_network");
    py::list out;
    for (const auto& n : networks) out.append(ip_network(native::ipv4::to_string(n)));
    return out;
}

native::ipv4::Network vpc_network(py::handle vpc) {
    const native::ipv4::Network vpc_cidr = network_or_raise(py::object(vpc.attr("cidr_block")), vpc, py::none());
    LOG(log_level::debug, "compute_crvn_cidr", "VPC cidr_block: %s", native::ipv4::to_string(vpc_cidr));
    return vpc_cidr;
}

// The lowest block of length `prefix` in the VPC that overlaps none of its subnets, or ""
// when none is free; with DEBUG on, every candidate is logged. A VPC narrower than the
// block is an error when `narrow_is_error`, else a warning and "".
py::str lowest_free_block(py::handle vpc, const native::ipv4::Network& vpc_cidr,
                          const std::vector<native::ipv4::Network>& vpc_subnets, int prefix, bool narrow_is_error) {
    using native::ipv4::Network;
    LOG.lazy(log_level::debug, "compute_crvn_cidr", "VPC subnets:\n%s",
             [&] { return py::make_tuple(pformat(host_networks(vpc_subnets))); });

    if (prefix < vpc_cidr.prefix) {
        const std::string narrower =
            "its block " + native::ipv4::to_string(vpc_cidr) + " is narrower than a /" + std::to_string(prefix) + " block";
        if (narrow_is_error) native::raise_builtin("ValueError", vpc_label(vpc) + narrower + " (new prefix must be longer)");
        LOG(log_level::warning, "compute_crvn_cidr", "Could not compute crvn_cidr for vpc '%s': %s", vpc.attr("id"), narrower);
        return py::str("");
    }
    const native::ipv4::BlockWalk walk(vpc_cidr, prefix, vpc_subnets);

    std::optional<Network> chosen;
    if (LOG.enabled(log_level::debug)) {
        // Every candidate is logged; the lowest viable one is the answer.
        std::vector<Network> viable_subnets;
        for (std::uint64_t i = 0; i < walk.count(); ++i) {
            const Network subnet = walk.candidate(i);
            const std::string text = native::ipv4::to_string(subnet);
            LOG(log_level::debug, "compute_crvn_cidr", "Checking candidate subnet: %s", text);
            if (!walk.is_free(subnet)) {
                LOG(log_level::debug, "compute_crvn_cidr", "Subnet '%s' overlaps with existing subnet.", text);
            } else {
                LOG(log_level::debug, "compute_crvn_cidr", "Subnet '%s' is viable.", text);
                viable_subnets.push_back(subnet);
            }
        }
        LOG.lazy(log_level::debug, "compute_crvn_cidr", "Viable subnets:\n%s",
                 [&] { return py::make_tuple(pformat(host_networks(viable_subnets))); });
        if (!viable_subnets.empty()) chosen = viable_subnets.front();
    } else {
        // Microseconds of arithmetic: cheaper with the GIL kept than with a thread switch to get it back.
        chosen = walk.first_free();
    }

    if (!chosen) {
        LOG(log_level::warning, "compute_crvn_cidr", "Could not compute crvn_cidr for vpc '%s': No available subnets with prefix %s",
            vpc.attr("id"), prefix);
        return py::str("");
    }
    return py::str(native::ipv4::to_string(*chosen));
}

int block_prefix(py::handle hpe) { return truthy(hpe) ? 25 : 27; }

py::object compute_crvn_cidr(py::object vpc, py::object hpe) {
    const int prefix = block_prefix(hpe);
    const native::ipv4::Network vpc_cidr = vpc_network(vpc);
    std::vector<native::ipv4::Network> vpc_subnets;
    py::object pages = vpc.attr("subnets").attr("page_size")("count"_a = global("SUBNET_PAGE_SIZE"));
    for (py::handle subnet : pages) {
        py::object block = subnet.attr("cidr_block");
        if (block.is_none()) continue;  // an IPv6-only subnet takes no IPv4 space
        vpc_subnets.push_back(network_or_raise(block, vpc, py::getattr(subnet, "id", py::none())));
    }
    return lowest_free_block(vpc, vpc_cidr, vpc_subnets, prefix, true);
}

// ---------------------------------------------------------------- workbook

py::object bool_or_null(py::object value) { return value.is_none() ? global("NULL") : value; }

py::object list_or_null(py::object items) {
    if (items.is_none()) return global("NULL");
    py::list out;
    for (py::handle item : items) out.append(py::str(item));
    return std::move(out);
}


py::dict workbook_row(const char* op, py::handle defaults, py::handle hpe, py::handle account_id,
                      py::handle account_name, py::handle region, py::handle vpc, py::handle crvn_cidr) {
    py::dict row_data;
    for (py::handle header : global("HEADERS")) row_data[header] = py::none();
    row_data["account_id"] = account_id;
    row_data["account_name"] = account_name;
    row_data["hpe"] = hpe;
    row_data["managed_tgw"] = global("_bool_or_null")(defaults.attr("managed_tgw"));
    row_data["filter_cidrs"] = global("_list_or_null")(defaults.attr("filter_cidrs"));
    row_data["spoke_gw_size"] = or_null(defaults.attr("spoke_gw_size"));
    row_data["role_name"] = or_null(defaults.attr("role_name"));
    row_data["region"] = region;
    row_data["vpc_id"] = vpc.attr("id");
    row_data["crvn_cidr"] = or_null(py::str(crvn_cidr));
    row_data["spoke_gw_name"] = global("get_spoke_gw_name")(vpc);
    row_data["transit_gw_name"] = or_null(defaults.attr("transit_gw_name"));
    row_data["gw_zones"] = global("_list_or_null")(defaults.attr("gw_zones"));
    row_data["domain"] = or_null(defaults.attr("domain"));
    row_data["encrypt"] = global("_bool_or_null")(defaults.attr("encrypt"));
    row_data["inspection"] = global("_bool_or_null")(defaults.attr("inspection"));
    row_data["spoke_advertisement"] = global("NULL");
    row_data["spoke_routes"] = global("NULL");
    row_data["spoke_gw_tags"] = global("NULL");
    LOG.lazy(log_level::debug, op, "Row Data:\n%s", [&] { return py::make_tuple(pformat(row_data)); });
    return row_data;
}

// --------------------------------------------------------------------- walk
//
// One walk over the accounts serves both artefacts. Its units of work are each
// account's role assumption (with its region listing) and each (account, region)
// pair. They run on a pool of host threads, each worker with a boto3 session of
// its own, and hold back their log records; the calling thread takes the units'
// results in configuration order and logs each unit's records then, so the
// artefacts and the log are the same whatever the number of workers.

// The controller's name of the account. One the controller does not list keeps an
// empty name, and the engineer is told, since the name is needed for the migration.
py::object named_account(py::handle account_id, py::handle account_list, const char* op) {
    py::object name = global("get_acct_name")(account_id, account_list);
    if (name.is_none()) {
        LOG(log_level::warning, op, "Account %s is not in the Corvane Controller's account list: its account_name stays empty",
            account_id);
    }
    return name;
}

// What a walk is asked for.
struct WalkRequest {
    bool rows = false;       // workbook rows
    bool inventory = false;  // inventory account entries
    long jobs = kDefaultJobs;
    bool keep_going = false;  // a failed account or region goes in the ledger and the walk goes on
    const char* op = "";      // the operation the walk's records are logged under
};

struct Discovery {
    py::list rows;
    py::list accounts;
    py::list ledger;  // one entry per (account, region) set out to cover; see ledger_entry
};

// Units in the order one worker would take them: account by account, the role
// assumption of an account before its regions, the regions in their order.
long unit_key(std::size_t account, long region) { return static_cast<long>(account) * 1000000L + region + 1; }

// Shared by the calling thread and the workers; touched only with the GIL held.
struct Walk {
    WalkRequest request;
    py::object config, defaults, account_list, executor, client_config;
    py::object sessions;  // threading.local: the boto3 session of each worker thread
    py::object loader = py::none();  // botocore's loader of service descriptions, read once for all sessions
    bool stopped = false;
    long first_failure = std::numeric_limits<long>::max();
    long accounts_done = 0, vpcs_found = 0;  // for the progress line, counted as units end

    // A unit after a failed one is not needed: that failure ends the run.
    bool cancelled(long key) const { return stopped || key > first_failure; }
    void failed(long key) { first_failure = std::min(first_failure, key); }
};
using WalkPtr = std::shared_ptr<Walk>;

[[noreturn]] void raise_cancelled() {
    native::raise(native::host_attr("concurrent.futures", "CancelledError"), "the walk was stopped");
}

// A boto3 session whose botocore session reads the service descriptions through `loader`.
py::object session_sharing(py::handle loader) {
    py::object botocore_session = native::host_attr("botocore.session", "get_session")();
    botocore_session.attr("register_component")("data_loader", loader);
    return global("boto3").attr("session").attr("Session")("botocore_session"_a = botocore_session);
}

// Sessions of their own, sharing what botocore has read of the service descriptions:
// a second reading costs each worker a quarter of a second.
py::object worker_session(Walk& walk) {
    py::object session = py::getattr(walk.sessions, "session", py::none());
    if (session.is_none()) {
        session = session_sharing(walk.loader);
        walk.sessions.attr("session") = session;
    }
    return session;
}

// The shared loader, with what the first STS and EC2 clients read (service descriptions,
// endpoint rules, partitions, retry settings) read once on the calling thread: left to the
// workers, each of them would read it at the same time, the first time, before any shared it.
// The clients made here are botocore's own, send nothing and look for no credentials.
void read_service_descriptions(Walk& walk, py::handle region) {
    py::object botocore_session = native::host_attr("botocore.session", "get_session")();
    walk.loader = botocore_session.attr("get_component")("data_loader");
    try {
        for (const char* service : {"sts", "ec2"}) {
            botocore_session.attr("create_client")(service, "region_name"_a = region, "aws_access_key_id"_a = "unused",
                                                   "aws_secret_access_key"_a = "unused",
                                                   "config"_a = walk.client_config);
        }
    } catch (py::error_already_set& err) {
        // A region botocore refuses is met again, and reported, by the unit that uses it.
        if (!err.matches(PyExc_Exception)) throw;
    }
}

// Once the walk is stopped, a worker's client makes no further attempt and waits for no back-off.
// The client is the worker's own; the unit it works for is the one the worker runs now.
py::object watched(py::object client, const WalkPtr& walk) {
    py::cpp_function stop([walk](py::kwargs) -> py::object {
        if (walk->cancelled(py::getattr(walk->sessions, "unit").cast<long>())) raise_cancelled();
        return py::none();
    });
    py::object events = client.attr("meta").attr("events");
    events.attr("register")("before-send", stop);
    events.attr("register_first")("needs-retry", stop);
    return client;
}

// The worker's STS client of a region: the same base credentials serve every account's role.
py::object worker_sts_client(const WalkPtr& walk, py::handle region) {
    py::object clients = py::getattr(walk->sessions, "sts", py::none());
    if (clients.is_none()) {
        clients = py::dict();
        walk->sessions.attr("sts") = clients;
    }
    py::object sts = clients.attr("get")(region);
    if (sts.is_none()) {
        sts = watched(worker_session(*walk).attr("client")("sts", "region_name"_a = region,
                                                          "config"_a = walk->client_config),
                      walk);
        clients[region] = sts;
    }
    return sts;
}

struct Unit {
    py::object future;
    py::list records;  // (logger, record) pairs held back by the unit
};

// Run `body` on the pool, its records held back, its failure stopping the units after it.
Unit submit(const WalkPtr& walk, long key, std::function<py::object()> body) {
    Unit unit;
    py::list records = unit.records;
    py::cpp_function run([walk, key, records, body]() -> py::object {
        native::HeldRecords hold(records);
        walk->sessions.attr("unit") = key;
        if (walk->cancelled(key)) raise_cancelled();
        try {
            return body();
        } catch (...) {
            if (!walk->request.keep_going) walk->failed(key);
            throw;
        }
    });
    unit.future = walk->executor.attr("submit")(run);
    return unit;
}

// The region's VPCs in pages of VPC_PAGE_SIZE, in the order AWS lists them, each as an object
// with the `id`, `cidr_block` and `tags` that naming and the free block read.
py::list region_vpcs(py::handle ec2_client) {
    py::object vpc_type = native::host_attr("types", "SimpleNamespace");
    py::list vpcs;
    py::object token = py::none();
    do {
        py::dict request;
        request["MaxResults"] = global("VPC_PAGE_SIZE");
        if (!token.is_none()) request["NextToken"] = token;
        py::object page = ec2_client.attr("describe_vpcs")(**request);
        for (py::handle vpc : page["Vpcs"]) {
            vpcs.append(vpc_type("id"_a = vpc["VpcId"], "cidr_block"_a = vpc.attr("get")("CidrBlock"),
                                 "tags"_a = vpc.attr("get")("Tags")));
        }
        token = page.attr("get")("NextToken");
    } while (truthy(token));
    return vpcs;
}

// A region's subnets with an IPv4 block, grouped by VPC in the order AWS lists them.
struct SubnetBlock {
    std::string subnet_id;
    std::string cidr;
};
using SubnetsByVpc = std::unordered_map<std::string, std::vector<SubnetBlock>>;

SubnetsByVpc region_subnets(py::handle ec2_client) {
    SubnetsByVpc by_vpc;
    py::object token = py::none();
    do {
        py::dict request;
        request["MaxResults"] = kRegionSubnetPageSize;
        if (!token.is_none()) request["NextToken"] = token;
        py::object page = ec2_client.attr("describe_subnets")(**request);
        for (py::handle subnet : page["Subnets"]) {
            py::object block = subnet.attr("get")("CidrBlock");
            if (block.is_none()) continue;  // an IPv6-only subnet takes no IPv4 space
            by_vpc[native::text(subnet["VpcId"])].push_back(
                {native::text(subnet.attr("get")("SubnetId", "")), native::text(block)});
        }
        token = page.attr("get")("NextToken");
    } while (truthy(token));
    return by_vpc;
}

// AWS's error code and message of a failure, or the error's kind and text when it is not AWS's.
std::pair<std::string, std::string> code_and_message(py::handle error) {
    if (py::isinstance(error, native::host_attr("botocore.exceptions", "ClientError"))) {
        py::object detail = py::object(error.attr("response")).attr("get")("Error", py::dict());
        return {native::text(detail.attr("get")("Code", "")), native::text(detail.attr("get")("Message", ""))};
    }
    return {native::text(py::type::of(error).attr("__name__")), native::text(error)};
}

// One line of the coverage ledger: an (account, region) pair and what became of it.
py::dict ledger_entry(py::handle account_id, py::handle account_name, py::handle region, const char* state,
                      py::object vpcs, const std::string& code, const std::string& message, double seconds) {
    py::dict entry;
    entry["account_id"] = account_id;
    entry["account_name"] = account_name;
    entry["region"] = region;
    entry["state"] = state;
    entry["vpcs"] = vpcs;
    entry["error_code"] = code;
    entry["message"] = message;
    entry["seconds"] = std::round(seconds * 100) / 100;
    return entry;
}

double seconds_since(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// The VPCs of one region of one account, each with its free block and gateway name.
py::object region_walk(const WalkPtr& walk, long key, py::object account_id, py::object account_name,
                       py::object region, py::object creds, bool discovered) {
    Walk& w = *walk;
    const char* op = w.request.op;
    py::object defaults = w.defaults;
    py::object ec2 = watched(ec2_of("client", worker_session(w), region, creds, w.client_config), walk);
    const bool add_vpc_cidr = truthy(defaults.attr("add_vpc_cidr"));

    py::list vpcs;
    SubnetsByVpc subnets;
    try {
        vpcs = region_vpcs(ec2);
        if (!add_vpc_cidr && py::len(vpcs) > 0) subnets = region_subnets(ec2);
    } catch (py::error_already_set& err) {
        // A region the engineer did not name may be closed to the account by policy.
        const std::string code = discovered && !w.cancelled(key) ? refusal_code(err) : "";
        if (!code.empty()) {
            LOG(log_level::warning, op, "Skipping region %s of account %s: its EC2 requests are refused (%s)", region,
                account_id, code);
            return py::make_tuple(py::list(), py::none(), 0, 0, code);
        }
        name_place(err, "account " + native::text(account_id) + ", region " + native::text(region));
        throw;
    }

    py::list rows;
    py::list vpcs_data;
    py::dict region_data;
    region_data["region"] = region;
    region_data["vpcs"] = vpcs_data;
    long no_block = 0;
    py::object hpe = defaults.attr("hpe");
    for (py::handle vpc : vpcs) {
        py::str crvn_cidr("");
        if (!add_vpc_cidr) {
            const native::ipv4::Network vpc_cidr = vpc_network(vpc);
            std::vector<native::ipv4::Network> blocks;
            for (const SubnetBlock& subnet : subnets[native::text(vpc.attr("id"))]) {
                blocks.push_back(network_or_raise(py::str(subnet.cidr), vpc, py::str(subnet.subnet_id)));
            }
            crvn_cidr = lowest_free_block(vpc, vpc_cidr, blocks, block_prefix(hpe), false);
            no_block += py::len(crvn_cidr) == 0;
        }
        if (w.request.rows) {
            rows.append(workbook_row(op, defaults, hpe, account_id, account_name, region, vpc, crvn_cidr));
        }
        if (w.request.inventory) {
            py::dict vpc_data;
            vpc_data["vpc_id"] = vpc.attr("id");
            vpc_data["crvn_cidr"] = crvn_cidr;
            vpc_data["spoke_gw_name"] = global("get_spoke_gw_name")(vpc);
            vpc_data["transit_gw_name"] = or_null(defaults.attr("transit_gw_name"));
            LOG.lazy(log_level::debug, op, "VPC Data:\n%s", [&] { return py::make_tuple(pformat(vpc_data)); });
            vpcs_data.append(vpc_data);
        }
    }
    if (w.request.inventory) {
        LOG.lazy(log_level::debug, op, "Region Data:\n%s", [&] { return py::make_tuple(pformat(region_data)); });
    }
    w.vpcs_found += static_cast<long>(py::len(vpcs));
    return py::make_tuple(rows, region_data, py::len(vpcs), no_block, py::none());
}

// (rows, region entry, VPCs, VPCs without a free block, refusal code or None, error or None, seconds).
// With keep_going a failure is part of the result rather than the end of the walk.
py::object region_unit(const WalkPtr& walk, long key, py::object account_id, py::object account_name,
                       py::object region, py::object creds, bool discovered) {
    const auto started = std::chrono::steady_clock::now();
    py::tuple done;
    try {
        done = region_walk(walk, key, account_id, account_name, region, creds, discovered);
    } catch (py::error_already_set& err) {
        if (!walk->request.keep_going || !err.matches(PyExc_Exception) || walk->cancelled(key)) throw;
        return py::make_tuple(py::list(), py::none(), 0, 0, py::none(), err.value(), seconds_since(started));
    }
    return py::make_tuple(done[0], done[1], done[2], done[3], done[4], py::none(), seconds_since(started));
}

// An account: its name, role, regions; submits a unit per region.
py::object account_unit(const WalkPtr& walk, std::size_t index, py::object account_id) {
    Walk& w = *walk;
    const char* op = w.request.op;
    const long key = unit_key(index, -1);
    py::object defaults = w.defaults;
    LOG(log_level::info, op, "Discovering info for account %s", account_id);
    py::object account_name = named_account(account_id, w.account_list, op);
    py::object account_info = py::none();
    if (w.request.inventory) {
        py::dict info;
        info["account_id"] = account_id;
        info["account_name"] = account_name;
        info["regions"] = py::list();
        py::object fields_set = defaults.attr("__fields_set__");
        for (py::handle field : global("MIN_ACCOUNT_INFO_FIELDS")) {
            if (fields_set.contains(field)) info[field] = py::getattr(defaults, field);
        }
        LOG.lazy(log_level::debug, op, "Account Info data:\n%s", [&] { return py::make_tuple(pformat(info)); });
        account_info = info;
    }
    py::object role_arn = global("get_role_arn")(account_id, defaults.attr("role_name"));
    py::object configured = w.config.attr("aws_regions");
    const bool discovered = !truthy(configured);
    // The role is assumed once, at the STS endpoint of a region the account uses: tokens of the
    // global endpoint are refused in regions that must be opted in to.
    py::object home = discovered ? py::object(py::str(kDiscoveryRegion)) : py::object(py::list(configured)[0]);
    const auto started = std::chrono::steady_clock::now();
    py::object assumed_role;
    try {
        assumed_role = assume_role(worker_sts_client(walk, home), role_arn);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception) || w.cancelled(key)) throw;
        if (!w.request.keep_going) w.failed(key);  // reported in its turn, as a refused role is
        return py::make_tuple(account_name, account_info, py::list(), py::list(), err.value(), true,
                              seconds_since(started));
    }
    py::object creds = assumed_role["Credentials"];

    py::list regions;
    try {
        if (discovered) {
            // Only the regions enabled for the account: one it has not opted in to is never asked.
            regions = py::list(region_names(
                watched(ec2_of("client", worker_session(w), home, creds, w.client_config), walk)));
        } else {
            regions = py::list(configured);
        }
    } catch (py::error_already_set& err) {
        name_place(err, "account " + native::text(account_id));
        if (!w.request.keep_going || !err.matches(PyExc_Exception) || w.cancelled(key)) throw;
        return py::make_tuple(account_name, account_info, py::list(), py::list(), err.value(), false,
                              seconds_since(started));
    }

    py::list units;
    auto remaining = std::make_shared<std::size_t>(py::len(regions));
    if (*remaining == 0) ++w.accounts_done;
    long region_index = 0;
    for (py::handle region_handle : regions) {
        py::object region = py::reinterpret_borrow<py::object>(region_handle);
        const long region_key = unit_key(index, region_index++);
        Unit unit = submit(walk, region_key, [walk, region_key, account_id, account_name, region, creds, discovered,
                                              remaining]() -> py::object {
            struct CountDone {  // the account is done when its last region is, however it ended
                Walk& walk;
                std::size_t& remaining;
                ~CountDone() {
                    if (--remaining == 0) ++walk.accounts_done;
                }
            } count_done{*walk, *remaining};
            return region_unit(walk, region_key, account_id, account_name, region, creds, discovered);
        });
        units.append(py::make_tuple(unit.future, unit.records));
    }
    return py::make_tuple(account_name, account_info, regions, units, py::none(), false, seconds_since(started));
}

// The live progress line: only on a terminal, only when INFO lines are shown. Log
// lines pass through tqdm while it is shown, so the two never mix.
class Progress {
public:
    explicit Progress(std::size_t accounts) {
        py::object stream = global("sys").attr("stderr");
        py::object logger = global("logging").attr("getLogger")("generator");
        if (!truthy(stream.attr("isatty")()) || !truthy(logger.attr("isEnabledFor")(log_level::info))) return;
        bar_ = native::host_attr("tqdm", "tqdm")("total"_a = accounts, "file"_a = stream, "leave"_a = false,
                                                 "bar_format"_a = "{n_fmt}/{total_fmt} accounts{postfix} [{elapsed}]",
                                                 "postfix"_a = "0 VPCs found");
        redirect_ = native::host_attr("tqdm.contrib.logging", "logging_redirect_tqdm")("loggers"_a = py::make_tuple(logger));
        redirect_.attr("__enter__")();
    }

    // The unit's result; meanwhile the line is kept up to date.
    py::object wait(py::handle future, const Walk& walk) {
        if (bar_.is_none()) return future.attr("result")();
        while (true) {
            try {
                return future.attr("result")("timeout"_a = kProgressInterval);
            } catch (py::error_already_set& err) {
                if (!err.matches(PyExc_TimeoutError) || truthy(future.attr("done")())) throw;
            }
            bar_.attr("n") = walk.accounts_done;
            bar_.attr("set_postfix_str")(std::to_string(walk.vpcs_found) + " VPCs found", "refresh"_a = false);
            bar_.attr("refresh")();
        }
    }

    void close() {
        if (bar_.is_none()) return;
        py::object bar = bar_, redirect = redirect_;
        bar_ = redirect_ = py::none();
        redirect.attr("__exit__")(py::none(), py::none(), py::none());
        bar.attr("close")();
    }

private:
    py::object bar_ = py::none();
    py::object redirect_ = py::none();
};

// A unit's result, its held records logged first. A failed unit's records are logged
// before its error goes on; an interruption of the wait goes on at once.
py::tuple take(py::handle future, py::handle records, Progress& progress, const Walk& walk) {
    py::object result;
    try {
        result = progress.wait(future, walk);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_KeyboardInterrupt)) native::HeldRecords::release(records);
        throw;
    }
    native::HeldRecords::release(records);
    return result;
}

// The first failure in configuration order ends the walk: nothing after it is needed. After
// Ctrl-C the workers are not waited for; each stops at its next AWS request.
void stop(Walk& walk, bool wait_for_workers) {
    walk.stopped = true;
    walk.executor.attr("shutdown")("wait"_a = wait_for_workers, "cancel_futures"_a = true);
}

Discovery discover(py::object config, const WalkRequest& request) {
    const char* op = request.op;
    py::object account_list = global("get_account_list")(config);  // the password prompt comes before the walk
    const auto started = std::chrono::steady_clock::now();
    auto walk = std::make_shared<Walk>();
    walk->request = request;
    walk->config = config;
    walk->defaults = config.attr("defaults");
    walk->account_list = account_list;
    walk->client_config = retry_config();
    walk->sessions = native::host_attr("threading", "local")();
    py::list account_ids(config.attr("account_ids"));
    if (py::len(account_ids) > 0) {
        py::object configured = config.attr("aws_regions");
        read_service_descriptions(*walk, truthy(configured) ? py::object(py::list(configured)[0])
                                                            : py::object(py::str(kDiscoveryRegion)));
    }
    walk->executor = native::host_attr("concurrent.futures", "ThreadPoolExecutor")(
        "max_workers"_a = request.jobs, "thread_name_prefix"_a = "generate");
    Progress progress(py::len(account_ids));

    Discovery found;
    long regions_walked = 0, regions_skipped = 0, vpcs = 0, no_block = 0;
    try {
        std::vector<Unit> accounts;
        for (std::size_t i = 0; i < py::len(account_ids); ++i) {
            py::object account_id = account_ids[i];
            accounts.push_back(
                submit(walk, unit_key(i, -1), [walk, i, account_id] { return account_unit(walk, i, account_id); }));
        }
        for (std::size_t i = 0; i < accounts.size(); ++i) {
            py::tuple done = take(accounts[i].future, accounts[i].records, progress, *walk);
            py::object account_id = account_ids[i], account_name = done[0];
            if (!done[4].is_none()) {
                if (!request.keep_going) refused_role(native::text(account_id), done[4]);
                const auto [code, message] = code_and_message(done[4]);
                found.ledger.append(ledger_entry(account_id, account_name, py::str("*"), "failed", py::none(), code,
                                                 message, done[6].cast<double>()));
                continue;  // nothing of the account was covered
            }
            py::object account_info = done[1];
            py::list regions = done[2];
            std::size_t region_index = 0;
            for (py::handle unit : done[3]) {
                py::tuple region = take(unit[py::int_(0)], unit[py::int_(1)], progress, *walk);
                py::object region_name = regions[region_index++];
                const double seconds = region[6].cast<double>();
                if (!region[5].is_none()) {
                    const auto [code, message] = code_and_message(region[5]);
                    found.ledger.append(
                        ledger_entry(account_id, account_name, region_name, "failed", py::none(), code, message, seconds));
                    continue;
                }
                if (!region[4].is_none()) {
                    ++regions_skipped;
                    found.ledger.append(ledger_entry(account_id, account_name, region_name, "skipped", py::none(),
                                                     native::text(region[4]), "", seconds));
                    continue;
                }
                found.ledger.append(
                    ledger_entry(account_id, account_name, region_name, "ok", region[2], "", "", seconds));
                ++regions_walked;
                vpcs += region[2].cast<long>();
                no_block += region[3].cast<long>();
                for (py::handle row : region[0]) found.rows.append(row);
                if (request.inventory) account_info["regions"].attr("append")(region[1]);
            }
            if (request.inventory) {
                LOG.lazy(log_level::debug, op, "Account Data:\n%s", [&] { return py::make_tuple(pformat(account_info)); });
                // Through the migration tool's model: validated, plain data, only the fields that were set.
                py::object model = global("AccountInfo")(**account_info);
                found.accounts.append(global("json").attr("loads")(model.attr("json")("exclude_unset"_a = true)));
            }
        }
    } catch (py::error_already_set& err) {
        stop(*walk, !err.matches(PyExc_KeyboardInterrupt));
        progress.close();
        throw;
    } catch (...) {
        stop(*walk, true);
        progress.close();
        throw;
    }
    walk->executor.attr("shutdown")("wait"_a = true);
    progress.close();
    if (request.inventory) {
        LOG.lazy(log_level::debug, op, "Accounts:\n%s", [&] { return py::make_tuple(pformat(found.accounts)); });
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    LOG(log_level::info, op,
        "Walk done in %.1f s: accounts %s, regions %s, VPCs %s, VPCs without a free block %s, regions skipped %s",
        seconds, py::len(account_ids), regions_walked, vpcs, no_block, regions_skipped);
    long ok = 0, skipped = 0, failed = 0;
    for (py::handle entry : found.ledger) {
        const std::string state = native::text(entry["state"]);
        if (state == "ok") ++ok;
        if (state == "skipped") ++skipped;
        if (state != "failed") continue;
        ++failed;
        LOG(log_level::warning, op, "Not covered: account %s, region %s: %s: %s", entry["account_id"], entry["region"],
            entry["error_code"], entry["message"]);
    }
    LOG(log_level::info, op, "Coverage: %s ok, %s skipped, %s failed of %s account-regions", ok, skipped, failed,
        py::len(found.ledger));
    return found;
}

// What `main` was told for the walk of a builder it calls (-j/--jobs, -k/--keep-going), and
// where that walk leaves its coverage ledger; none outside `main`: the defaults hold.
struct BuilderRun {
    long jobs = kDefaultJobs;
    bool keep_going = false;
    py::list ledger;
};
thread_local BuilderRun* builder_run = nullptr;

WalkRequest builder_request(const char* op) {
    WalkRequest request;
    request.op = op;
    if (builder_run != nullptr) {
        request.jobs = builder_run->jobs;
        request.keep_going = builder_run->keep_going;
    }
    return request;
}

Discovery builder_discover(py::object config, const WalkRequest& request) {
    Discovery found = discover(config, request);
    if (builder_run != nullptr) builder_run->ledger = found.ledger;
    return found;
}

py::object generate_tandrel_excel_data(py::object config) {
    WalkRequest request = builder_request("generate_tandrel_excel_data");
    request.rows = true;
    return builder_discover(config, request).rows;
}

py::object generate_min_tandrel_yaml(py::object config) {
    WalkRequest request = builder_request("generate_min_tandrel_yaml");
    request.inventory = true;
    py::dict result;
    result["account_info"] = builder_discover(config, request).accounts;
    return std::move(result);
}


// ------------------------------------------------------------------ refresh

namespace refresh = native::refresh;

// The sheets a refreshed workbook carries after the VPC sheet.
constexpr const char* kRemovedSheet = "Removed";
constexpr const char* kCoverageSheet = "Coverage";  // written anew by every run
constexpr const char* kGeneratedSheet = "generated";  // hidden: the values generate wrote, the base of a refresh

// Marks of a refreshed sheet: fills as the spreadsheet programs' "good" and "bad" styles.
constexpr const char* kAddedFill = "C6EFCE";
constexpr const char* kConflictFill = "FFC7CE";
constexpr const char* kUncheckedFill = "D9D9D9";

// A cell as the merge compares it; a workbook cell read back or a value generate wrote.
refresh::Cell merge_cell(py::handle value) {
    refresh::Cell cell;
    using Type = refresh::Cell::Type;
    if (value.is_none()) return cell;
    if (PyBool_Check(value.ptr())) {
        cell.type = Type::boolean;
        cell.flag = value.ptr() == Py_True;
    } else if (PyLong_Check(value.ptr())) {
        cell.type = Type::number;
        cell.text = native::text(value);
    } else if (PyFloat_Check(value.ptr())) {
        const double number = PyFloat_AsDouble(value.ptr());
        if (number != number) return cell;  // not a number: an empty cell
        cell.type = Type::number;
        // A whole number reads back as an integer from some readers and as a float from others.
        cell.text = truthy(value.attr("is_integer")()) ? native::text(py::int_(py::reinterpret_borrow<py::object>(value))) : native::text(py::repr(value));
    } else if (PyUnicode_Check(value.ptr())) {
        cell.type = Type::text;
        cell.text = value.cast<std::string>();
    } else if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
        cell.type = Type::items;
        for (py::handle item : value) cell.items.push_back(native::text(item));
    } else {
        cell.type = Type::other;
        cell.text = native::text(py::repr(value));
    }
    return cell;
}

std::vector<py::object> objects(py::handle items) {
    std::vector<py::object> out;
    for (py::handle item : items) out.push_back(py::reinterpret_borrow<py::object>(item));
    return out;
}

std::vector<refresh::Row> merge_rows(py::handle records, py::handle columns, const char* what) {
    std::vector<refresh::Row> rows;
    long number = 0;
    for (py::handle record : records) {
        ++number;
        refresh::Row row;
        for (py::handle column : columns) {
            PyObject* value = PyObject_GetItem(record.ptr(), column.ptr());
            if (value == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                PyErr_Clear();
                native::raise_builtin("KeyError", std::string(what) + " row " + std::to_string(number) +
                                                      " has no column " + native::text(column));
            }
            row.push_back(merge_cell(py::reinterpret_steal<py::object>(value)));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// The three-way merge of a refresh, on lists of records: `base` as generate wrote them,
// `edited` as the engineer's sheet holds them, `discovered` as generate builds them now.
py::dict merge_refresh(py::object base, py::object edited, py::object discovered, py::object unchecked) {
    py::object columns = global("HEADERS");
    std::vector<std::string> titles;
    for (py::handle column : columns) titles.push_back(native::text(column));
    std::optional<refresh::Merge> merge;
    try {
        merge.emplace(titles);
    } catch (const std::invalid_argument& err) {
        native::raise_builtin("ValueError", err.what());
    }
    std::vector<refresh::Scope> scopes;
    if (!unchecked.is_none()) {
        for (py::handle scope : unchecked) {
            py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(scope));
            scopes.push_back({native::text(pair[0]), native::text(pair[1])});
        }
    }
    const refresh::Plan plan =
        merge->plan(merge_rows(base, columns, "the generated"), merge_rows(edited, columns, "the edited"),
                    merge_rows(discovered, columns, "the discovered"), scopes);

    const std::vector<py::object> edited_rows = objects(edited), discovered_rows = objects(discovered);
    // Columns the engineer added to the sheet travel with their rows.
    py::list extra;
    for (const py::object& record : edited_rows) {
        for (py::handle title : record) {
            if (!columns.contains(title) && !extra.contains(title)) extra.append(title);
        }
    }

    py::list rows, added, conflicts, not_rechecked;
    for (const refresh::MergedRow& merged : plan.sheet) {
        py::dict row;
        if (merged.unchecked) not_rechecked.append(py::len(rows));
        if (merged.added) {
            py::handle found = discovered_rows[merged.index];
            size_t c = 0;
            for (py::handle column : columns) {
                const bool from_account = merged.account_row >= 0 && merge->account_column(c++);
                row[column] = from_account ? py::object(rows[merged.account_row][column]) : py::object(found[column]);
            }
            for (py::handle title : extra) row[title] = global("NULL");
            added.append(py::len(rows));
        } else {
            py::handle mine = edited_rows[merged.index];
            size_t c = 0;
            for (py::handle column : columns) {
                const auto pick = merged.picks.empty() ? refresh::Pick::edited : merged.picks[c++];
                if (pick == refresh::Pick::discovered) {
                    row[column] = discovered_rows[merged.discovered][column];
                } else {
                    row[column] = mine[column];
                    if (pick == refresh::Pick::conflict) {
                        conflicts.append(py::make_tuple(py::len(rows), column,
                                                        discovered_rows[merged.discovered][column]));
                    }
                }
            }
            for (py::handle title : extra) row[title] = mine.attr("get")(title, global("NULL"));
        }
        rows.append(row);
    }
    py::list removed, left_out, base_kept;
    for (size_t e : plan.removed) removed.append(edited_rows[e]);
    const std::vector<py::object> base_rows = objects(base);
    for (size_t b : plan.left_out) left_out.append(base_rows[b]);
    for (size_t b : plan.base_kept) base_kept.append(base_rows[b]);

    return py::dict("rows"_a = rows, "added"_a = added, "conflicts"_a = conflicts, "removed"_a = removed,
                    "left_out"_a = left_out, "not_rechecked"_a = not_rechecked, "base_kept"_a = base_kept,
                    "kept"_a = plan.kept, "updated"_a = plan.updated);
}


// How a cell shows a value in messages: lists in their printed form, booleans as the sheet shows them.
std::string shown_value(py::handle value) {
    if (value.is_none() || (PyUnicode_Check(value.ptr()) && py::len(value) == 0)) return "an empty cell";
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? "TRUE" : "FALSE";
    return native::text(py::repr(PyUnicode_Check(value.ptr()) ? value : py::str(value)));
}

// The workbook a refresh starts from, read and checked before anything is contacted:
// {"edited": the first sheet's records, "removed": those of the Removed sheet, "base":
// those of the hidden sheet}, or None when there is no such file yet.
py::object read_refresh_base(py::object excel) {
    if (!truthy(global("os").attr("path").attr("exists")(excel))) return py::none();
    py::dict sheets = global("serializers").attr("xlsx").attr("load_sheets")(excel);
    py::list titles = py::list(sheets);
    if (!sheets.contains(kGeneratedSheet) || native::text(titles[0]) == kGeneratedSheet) {
        native::raise_builtin("ValueError",
                              native::text(excel) + ": cannot refresh: it has no hidden sheet '" + kGeneratedSheet +
                                  "' with the values generate wrote, so it was not written by generate (or by a "
                                  "version before --refresh); nothing was changed. Without --refresh, generate "
                                  "writes a new workbook in its place, without your edits");
    }
    py::object headers = global("HEADERS");
    auto check_columns = [&](py::handle records, const std::string& which) {
        if (py::len(records) == 0) return;
        py::object record = records[py::int_(0)];
        for (py::handle column : headers) {
            if (record.contains(column)) continue;
            native::raise_builtin("ValueError", native::text(excel) + ": cannot refresh: " + which +
                                                    " has no column " + native::text(column) +
                                                    "; put it back under its title (nothing was changed)");
        }
    };
    py::dict previous;
    py::list own;  // the engineer's own sheets, carried over as they are
    for (size_t i = 1; i < titles.size(); ++i) {
        const std::string title = native::text(titles[i]);
        if (title != kRemovedSheet && title != kGeneratedSheet && title != kCoverageSheet) own.append(titles[i]);
    }
    previous["own_sheets"] = own;
    previous["edited"] = sheets[titles[0]];
    previous["removed"] = sheets.contains(kRemovedSheet) ? py::object(sheets[kRemovedSheet]) : py::list();
    previous["base"] = sheets[kGeneratedSheet];
    check_columns(previous["edited"], "the first sheet");
    check_columns(previous["base"], "the hidden sheet '" + std::string(kGeneratedSheet) + "'");
    return std::move(previous);
}

py::dict sheet(const char* title, py::handle rows, py::handle columns, bool hidden) {
    return py::dict("title"_a = title, "rows"_a = rows, "columns"_a = columns, "hidden"_a = hidden);
}

// The column titles of records: `first` and then every other key, in order of appearance.
py::list titles_of(py::handle first, py::handle records) {
    py::list titles;
    for (py::handle title : first) titles.append(title);
    for (py::handle record : records) {
        for (py::handle title : record) {
            if (!titles.contains(title)) titles.append(title);
        }
    }
    return titles;
}

py::dict mark(py::handle row, py::handle column, const char* fill, py::object note) {
    return py::dict("row"_a = row, "column"_a = column, "fill"_a = fill, "note"_a = note);
}

// The VPC sheet written to `path`, with the values generated hidden beside it (the base of a
// later refresh). With `previous` (read_refresh_base), the rows are first merged into the
// engineer's sheet; VPCs of the accounts and regions that failed in `ledger` were not looked
// for and are kept. `shown` is the workbook's name for messages. Returns the merge, to be
// reported once the workbook is in place (None without a refresh).
py::object write_workbook(py::object excel_data, py::object path, py::object previous, py::object ledger,
                          py::object shown) {
    py::object export_to_xlsx = global("serializers").attr("xlsx").attr("export_to_xlsx");
    py::object headers = global("HEADERS");
    py::list sheets;
    if (previous.is_none()) {
        sheets.append(sheet(kGeneratedSheet, excel_data, headers, true));
        if (py::len(excel_data) == 0) {
            // Still a workbook, so the engineer sees the columns and that nothing was found.
            LOG(log_level::warning, "main", "No VPC found in the configured accounts and regions: %s holds the column titles only",
                shown);
        }
        export_to_xlsx(excel_data, path, "columns"_a = headers, "sheets"_a = sheets);
        return py::none();
    }

    py::list unchecked;  // an unreachable account is not a deleted VPC
    for (py::handle entry : ledger) {
        if (native::text(entry["state"]) == "failed") unchecked.append(py::make_tuple(entry["account_id"], entry["region"]));
    }
    py::dict merged = global("_merge_refresh")(previous["base"], previous["edited"], excel_data, "unchecked"_a = unchecked);
    py::list rows = merged["rows"];
    py::list removed = previous["removed"];
    for (py::handle row : merged["removed"]) removed.append(row);
    if (py::len(removed) > 0) sheets.append(sheet(kRemovedSheet, removed, titles_of(headers, removed), false));
    for (py::handle title : previous["own_sheets"]) sheets.append(py::dict("title"_a = title, "copy_of"_a = shown));
    py::list base = py::list(excel_data);
    for (py::handle row : merged["base_kept"]) base.append(row);
    sheets.append(sheet(kGeneratedSheet, base, headers, true));

    py::list columns = titles_of(headers, rows);
    py::list marks;
    auto mark_rows = [&](py::handle indices, const char* fill, const char* note) {
        for (py::handle index : indices) {
            for (py::handle column : columns) {
                const bool first = native::text(column) == "vpc_id";
                marks.append(mark(index, column, fill, first ? py::object(py::str(note)) : py::object(py::none())));
            }
        }
    };
    mark_rows(merged["added"], kAddedFill, "New: found for the first time by generate --refresh");
    mark_rows(merged["not_rechecked"], kUncheckedFill,
              "Not re-checked: its account or region could not be walked by generate --refresh (see the Coverage "
              "sheet); kept as it was");
    for (py::handle conflict : merged["conflicts"]) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(conflict);
        marks.append(mark(at[0], at[1], kConflictFill,
                          py::str("AWS now gives " + shown_value(at[2]) + "; your value was kept (generate --refresh)")));
    }
    export_to_xlsx(rows, path, "columns"_a = headers, "sheets"_a = sheets, "marks"_a = marks);
    return std::move(merged);
}

// The account of a refresh, once the workbook is in place.
void report_refresh(py::handle merged, py::handle shown) {
    const char* const op = "report_refresh";
    for (py::handle row : merged["removed"]) {
        LOG(log_level::info, op, "VPC %s (account %s, region %s) is no longer found: moved to sheet %s", row["vpc_id"],
            row["account_id"], row["region"], kRemovedSheet);
    }
    for (py::handle row : merged["left_out"]) {
        LOG(log_level::info, op, "VPC %s (account %s, region %s) was deleted from the sheet: left out", row["vpc_id"],
            row["account_id"], row["region"]);
    }
    py::list rows = merged["rows"];
    py::list columns = titles_of(global("HEADERS"), rows);
    py::object letter_of = native::host_attr("openpyxl.utils", "get_column_letter");
    for (py::handle conflict : merged["conflicts"]) {
        py::tuple at = py::reinterpret_borrow<py::tuple>(conflict);
        py::object row = rows[at[0]];
        const std::string cell =
            native::text(letter_of(columns.attr("index")(at[1]) + py::int_(1))) + std::to_string(at[0].cast<long>() + 2);
        LOG(log_level::warning, op, "Conflict in %s cell %s (%s of VPC %s, account %s, region %s): kept your %s; AWS now gives %s",
            shown, cell, at[1], row["vpc_id"], row["account_id"], row["region"], shown_value(row[at[1]]),
            shown_value(at[2]));
    }
    std::string summary = "Refreshed %s: %s rows kept, %s cells updated, %s VPCs added, %s removed, %s conflicts";
    const size_t unchecked = py::len(merged["not_rechecked"]);
    if (unchecked > 0) summary += ", " + std::to_string(unchecked) + " not re-checked";
    LOG(log_level::info, op, summary.c_str(), shown, merged["kept"], merged["updated"], py::len(merged["added"]),
        py::len(merged["removed"]), py::len(merged["conflicts"]));
}

// --------------------------------------------------------------------- main

// Outputs that cannot be written or would destroy another file of the run are
// refused before the password is asked and the accounts are walked, not after.
void check_outputs(py::handle config_path, py::handle tandrel, py::handle excel) {
    // The endings the writers take, from the writers' own modules.
    py::object yaml_exts = native::host_attr("generator.common.serializers.yaml_file", "YAML_EXTS");
    py::object xlsx_exts = native::host_attr("generator.common.serializers.xlsx", "XLSX_EXTS");
    native::check_outputs({{tandrel, "the YAML inventory", "-d/--tandrel", yaml_exts},
                           {excel, "the Excel workbook", "-e/--excel", xlsx_exts}},
                          {{config_path, "the configuration file"}});
}

const char* const kExitStatuses =
    "Exit status: 0 when every account and region was covered (or skipped by policy); 1 on an error, "
    "nothing written; 2 on a usage error; 3 with -k when some accounts or regions failed: the "
    "files are written but miss their VPCs (see the Coverage sheet); 130 on Ctrl-C and 143 on SIGTERM, "
    "nothing written.";

// -j/--jobs: a whole number from 1 to kMaxJobs.
py::object jobs_number(py::object text) {
    py::object type_error = global("argparse").attr("ArgumentTypeError");
    py::object number;
    try {
        number = global("int")(text);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ValueError)) throw;
        native::raise(type_error, "a whole number is needed, not " + std::string(py::repr(text)));
    }
    // Compared as the host's numbers: a number of any size is refused, never cut.
    if (number < py::int_(1) || number > py::int_(kMaxJobs)) {
        native::raise(type_error, "from 1 to " + std::to_string(kMaxJobs) + " workers, not " + native::text(number));
    }
    return number;
}

const char* const kCoverageHeaders[] = {"account_id", "account_name", "region", "state",
                                        "vpcs",       "error_code",   "message", "seconds"};

// The ledger as a second sheet "Coverage" of the workbook at `path`, after the VPC sheet.
void add_coverage_sheet(py::handle path, py::handle ledger) {
    py::object book = native::host_attr("openpyxl", "load_workbook")(path);
    py::object sheet = book.attr("create_sheet")(kCoverageSheet, "index"_a = 1);
    py::list titles;
    for (const char* title : kCoverageHeaders) titles.append(title);
    sheet.attr("append")(titles);
    long row = 1;
    for (py::handle entry : ledger) {
        ++row;
        long column = 0;
        for (const char* key : kCoverageHeaders) {
            py::object value = entry[key];
            py::object cell = sheet.attr("cell")("row"_a = row, "column"_a = ++column, "value"_a = value);
            if (py::isinstance<py::str>(value)) cell.attr("data_type") = "s";  // AWS's text stays text, even "=..."
        }
    }
    py::object letter = native::host_attr("openpyxl.utils", "get_column_letter");
    for (long column = 1; column <= static_cast<long>(std::size(kCoverageHeaders)); ++column) {
        sheet.attr("column_dimensions")[letter(column)].attr("width") = column == 7 ? 80 : 20;
    }
    book.attr("save")(path);
}

// The workbook's VPC sheet and its Coverage sheet, written whole or not at all. Returns
// the merge of a refresh (with `previous`), to be reported once the workbook is in place.
py::object export_workbook(py::handle excel_data, py::handle excel, py::handle ledger, py::handle previous) {
    py::object rows = py::reinterpret_borrow<py::object>(excel_data);
    py::object shown = py::reinterpret_borrow<py::object>(excel);
    py::object coverage = py::reinterpret_borrow<py::object>(ledger);
    py::object base = py::reinterpret_borrow<py::object>(previous);
    py::list merged;  // filled by the writer
    py::cpp_function write([rows, shown, coverage, base, merged](py::object tmp) mutable {
        merged.append(write_workbook(rows, tmp, base, coverage, shown));
        add_coverage_sheet(tmp, coverage);
    });
    global("serializers").attr("export").attr("write_atomically")(excel, write, "suffix"_a = ".xlsx");
    return merged[0];
}

// How many pairs of the ledger failed, and how many it holds.
std::pair<long, long> failed_of(py::handle ledger) {
    long failed = 0, total = 0;
    for (py::handle entry : ledger) {
        ++total;
        if (native::text(entry["state"]) == "failed") ++failed;
    }
    return {failed, total};
}

// With -k, a walk in which every pair failed covered nothing: writing would replace good
// files with empty ones, so the run ends as an error and existing files stay as they were.
void refuse_empty_coverage(py::handle ledger) {
    long ok = 0;
    for (py::handle entry : ledger) ok += native::text(entry["state"]) == "ok" ? 1 : 0;
    const auto [failed, total] = failed_of(ledger);
    if (ok > 0 || failed == 0) return;
    native::raise_builtin("RuntimeError", "no account-region was covered: " + std::to_string(failed) + " of " +
                                              std::to_string(total) + " failed (see the warnings above); "
                                                                      "nothing written");
}

py::object quoted_inventory(py::object tandrel_yaml) {
    LOG(log_level::debug, "main", "Adding presenter for _quoted class");
    global("yaml").attr("add_representer")(global("_quoted"), global("_quoted_presenter"));
    LOG(log_level::debug, "main", "Recursing through tandrel config to update strings");
    return global("_recurse_quoted")(tandrel_yaml);
}

// Both artefacts from one walk. The workbook is written while the inventory waits
// under a temporary name beside its file; only once both are whole does the inventory
// take its place, so a failure or Ctrl-C anywhere leaves both existing files as they were.
py::list generate_both(py::object config, py::object tandrel, py::object excel, py::object previous, long jobs,
                       bool keep_going) {
    LOG(log_level::info, "main", "Generating minimal tandrel file: %s", tandrel);
    LOG(log_level::info, "main", "Generating Excel file: %s", excel);
    WalkRequest request;
    request.rows = request.inventory = true;
    request.jobs = jobs;
    request.keep_going = keep_going;
    request.op = "main";
    Discovery found = discover(config, request);
    refuse_empty_coverage(found.ledger);
    py::dict inventory;
    inventory["account_info"] = found.accounts;
    py::object tandrel_yaml = quoted_inventory(inventory);
    LOG(log_level::info, "main", "Exporting accounts to tandrel file: %s", tandrel);
    LOG(log_level::info, "main", "Exporting accounts to tandrel excel: %s", excel);
    py::list rows = found.rows, ledger = found.ledger;
    py::list merged;
    py::cpp_function write_both([tandrel_yaml, rows, excel, ledger, previous, merged](py::object tmp) mutable {
        global("serializers").attr("export_to_path")(tandrel_yaml, tmp, "dump"_a = global("_dump_quoted"));
        merged.append(export_workbook(rows, excel, ledger, previous));
    });
    global("serializers").attr("export").attr("write_atomically")(tandrel, write_both);
    if (!merged[0].is_none()) report_refresh(merged[0], excel);
    return ledger;
}

// While `main` calls a builder, the builder's walk runs as `main` was told.
struct ForBuilders {
    BuilderRun run;
    BuilderRun* previous;
    ForBuilders(long jobs, bool keep_going) : previous(builder_run) {
        run.jobs = jobs;
        run.keep_going = keep_going;
        builder_run = &run;
    }
    ~ForBuilders() { builder_run = previous; }
};

py::object main() {
    py::object parser = global("argparse").attr("ArgumentParser")("parents"_a = global("get_parent_parser")(),
                                                              "description"_a = "Generate tandrel yaml and Excel file",
                                                              "epilog"_a = kExitStatuses);
    py::object path_type = global("pathlib").attr("Path");
    parser.attr("add_argument")("--example-config", "action"_a = "store_true",
                                "help"_a = "Generate an example config file.");
    parser.attr("add_argument")(
        "-c", "--config", "dest"_a = "config_path", "type"_a = path_type, "metavar"_a = "config_file",
        "help"_a = "Configuration file specifying AWS account_ids and regions, Corvane Controller information and "
                   "default values to populate the Excel file with.");
    parser.attr("add_argument")("-d", "--tandrel", "type"_a = path_type, "metavar"_a = "tandrel_file",
                                "help"_a = "Generates a yaml file for use with the tandrel_migration script");
    parser.attr("add_argument")("-e", "--excel", "type"_a = path_type, "metavar"_a = "excel_file",
                                "help"_a = "Generates an Excel file that can be updated and then converted to "
                                           "yaml using the convert command");
    parser.attr("add_argument")(
        "-j", "--jobs", "type"_a = py::cpp_function(jobs_number, py::arg("text")), "default"_a = kDefaultJobs,
        "metavar"_a = "N",
        "help"_a = "How many accounts and regions to ask AWS about at the same time, 1 to 256 (default: 8). The "
                   "results and the log are the same whatever N is; 1 walks them one at a time.");
    parser.attr("add_argument")(
        "-k", "--keep-going", "action"_a = "store_true",
        "help"_a = "Go on past accounts and regions that fail: write what was covered, list what was not (the "
                   "Coverage sheet, the log) and end with exit status 3. Without it the first failure ends the run "
                   "and nothing is written.");
    parser.attr("add_argument")(
        "--refresh", "action"_a = "store_true",
        "help"_a = "With -e: the workbook excel_file was written by generate and edited since; merge what AWS "
                   "holds now into it, keeping every edit: unedited cells take the new values, VPCs no longer "
                   "found move to the sheet Removed (those of accounts and regions that fail are kept), new VPCs "
                   "are added and marked, and a cell that you and AWS both changed keeps your value, marked as a "
                   "conflict.");
    py::object args = parser.attr("parse_args")();

    if (truthy(args.attr("example_config"))) {
        native::print_data_file(global, "config.yaml");
        return py::none();
    }

    if (truthy(args.attr("refresh")) && args.attr("excel").is_none()) {
        parser.attr("error")("--refresh needs -e/--excel: the workbook to refresh");
    }
    py::object config_path = args.attr("config_path");
    if (config_path.is_none() || !truthy(global("os").attr("path").attr("exists")(config_path))) {
        LOG(log_level::error, "main", "Configuration file not found: %s", config_path);
        LOG(log_level::error, "main", "You can generate an example file with 'generate --example-config'");
        native::raise_builtin("FileNotFoundError", "Configuration file not found: " + native::text(config_path));
    }
    py::object config = global("load_config")(config_path);
    py::object tandrel = args.attr("tandrel");
    py::object excel = args.attr("excel");
    check_outputs(config_path, tandrel, excel);
    if (!tandrel.is_none()) native::require_model();  // the inventory goes through the migration model
    py::object previous = py::none();
    if (truthy(args.attr("refresh"))) {
        previous = read_refresh_base(excel);
        if (previous.is_none()) {
            LOG(log_level::warning, "main", "%s does not exist yet: nothing to refresh, a new workbook is written", excel);
        }
    }

    const long jobs = args.attr("jobs").cast<long>();
    const bool keep_going = truthy(args.attr("keep_going"));
    py::list ledger;
    if (!tandrel.is_none() && !excel.is_none()) {
        ledger = generate_both(config, tandrel, excel, previous, jobs, keep_going);
    } else {
        ForBuilders builders(jobs, keep_going);
        if (!tandrel.is_none()) {
            LOG(log_level::info, "main", "Generating minimal tandrel file: %s", tandrel);
            py::object tandrel_yaml = quoted_inventory(global("generate_min_tandrel_yaml")(config));
            refuse_empty_coverage(builders.run.ledger);
            LOG(log_level::info, "main", "Exporting accounts to tandrel file: %s", tandrel);
            // Written natively, byte for byte as PyYAML's default dumper would write it.
            global("serializers").attr("export_to_path")(tandrel_yaml, tandrel, "dump"_a = global("_dump_quoted"));
        }
        if (!excel.is_none()) {
            LOG(log_level::info, "main", "Generating Excel file: %s", excel);
            py::object excel_data = global("generate_tandrel_excel_data")(config);
            refuse_empty_coverage(builders.run.ledger);
            LOG(log_level::info, "main", "Exporting accounts to tandrel excel: %s", excel);
            py::object merged = export_workbook(excel_data, excel, builders.run.ledger, previous);
            if (!merged.is_none()) report_refresh(merged, excel);
        }
        ledger = builders.run.ledger;
    }
    // What was written is what was covered; status 3 says that something was not, and so does
    // a line that no -q silences: with -d alone it is the only sign of a partial inventory.
    const auto [failed, total] = failed_of(ledger);
    if (failed > 0) {
        global("print")("partial: " + std::to_string(failed) + " of " + std::to_string(total) +
                            " account-regions failed" + (excel.is_none() ? "" : "; see the Coverage sheet"),
                        "file"_a = global("sys").attr("stderr"));
        global("sys").attr("exit")(kPartialStatus);
    }
    return py::none();
}

}  // namespace

PYBIND11_MODULE(generate, m) {
    m.doc() = "Tandrel generator generate command.";
    global.bind(m);

    for (const char* name : {"argparse", "getpass", "ipaddress", "json", "logging", "os", "pathlib", "sys"}) {
        m.attr(name) = py::module_::import(name);
    }
    m.attr("t") = py::module_::import("typing");
    m.attr("pformat") = py::module_::import("pprint").attr("pformat");
    m.attr("boto3") = py::module_::import("boto3");
    m.attr("requests") = py::module_::import("requests");
    m.attr("yaml") = py::module_::import("yaml");
    native::bind_model(m, {"AccountInfo"});
    m.attr("get_parent_parser") = py::module_::import("generator.cli").attr("get_parent_parser");
    m.attr("serializers") = py::module_::import("generator.common.serializers");
    m.attr("load_config") = py::module_::import("generator.config").attr("load_config");

    // Unless the configuration asks for a check (controller.verify), the controller is reached without
    // certificate verification; don't warn about it on every request.
    m.attr("requests").attr("packages").attr("urllib3").attr("disable_warnings")();

    m.attr("log") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    LOG.bind(m);
    m.attr("VPC_PAGE_SIZE") = 64;
    m.attr("SUBNET_PAGE_SIZE") = 64;
    m.attr("CorvaneError") = native::make_class("generator.generate", "CorvaneError",
                                                py::make_tuple(native::host_attr("builtins", "Exception")));

    m.def("get_account_list", &get_account_list, py::arg("config"),
          "Log in to the Corvane Controller (the password from CORVANE_PASSWORD or asked at the terminal) and "
          "return its account list.");
    m.def("get_acct_name", &get_acct_name, py::arg("account_id"), py::arg("account_list"),
          "The controller's name of the account, or None when the controller does not know it.");
    m.def("get_regions", &get_regions, py::arg("creds"), "The names of the regions the account can use.");
    m.def("get_role_arn", &get_role_arn, py::arg("account_id"), py::arg("role_name"),
          "The ARN of the role `role_name` in the account.");
    m.def("get_temp_creds_for_account", &get_temp_creds_for_account, py::arg("role_arn"),
          "Assume the role; print why on standard error and exit with status 1 when it is refused.");
    m.def("get_ec2_resource_handler", &get_ec2_resource_handler, py::arg("aws_region"), py::arg("creds"),
          "An EC2 resource for the region, acting with the temporary credentials.");
    m.def("get_spoke_gw_name", &get_spoke_gw_name, py::arg("vpc"),
          "The spoke gateway name proposed for the VPC: its Name tag or its id, cut to 23 characters, + '-CRVGW'.");
    m.def("compute_crvn_cidr", &compute_crvn_cidr, py::arg("vpc"), py::arg("hpe"),
          "The lowest /25 (hpe) or /27 block of the VPC that overlaps none of its subnets, or '' when none is free.");

    m.attr("HEADERS") = str_list(std::begin(kHeaders), std::end(kHeaders));
    m.attr("NULL") = "";
    m.def("_bool_or_null", &bool_or_null, py::arg("value"), "The value itself, or NULL when it is None.");
    m.def("_list_or_null", &list_or_null, py::arg("items"), "The items as texts, or NULL when there are none.");
    m.def("generate_tandrel_excel_data", &generate_tandrel_excel_data, py::arg("config"),
          "One workbook row per VPC of the configured accounts and regions.");
    m.attr("MIN_ACCOUNT_INFO_FIELDS") = str_list(std::begin(kMinAccountInfoFields), std::end(kMinAccountInfoFields));
    m.def("generate_min_tandrel_yaml", &generate_min_tandrel_yaml, py::arg("config"),
          "The minimal inventory: {'account_info': [...]} with the accounts, their regions and VPCs.");
    native::install_quoted(m);
    m.def("_merge_refresh", &merge_refresh, py::arg("base"), py::arg("edited"), py::arg("discovered"),
          py::arg("unchecked") = py::none(),
          "Three-way merge of a refresh: the rows generate wrote, the engineer's rows and the rows discovered "
          "now.\n\nunchecked: (account, region) pairs not walked this time, region '*' for a whole account; "
          "their VPCs are kept, not removed.\nReturns {'rows', 'added', 'conflicts', 'removed', 'left_out', "
          "'not_rechecked', 'base_kept', 'kept', 'updated'}.");
    m.def("main", &main, "Run the generate command with the process's command line.");
}
