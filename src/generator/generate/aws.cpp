// The AWS helpers: role ARN, STS and EC2 clients, the retry configuration, and
// the errors of AWS told with the account and region they came from.
#include <string>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

constexpr const char* kRoleSessionName = "AssumeRoleSession1";
constexpr const char* kRetryMode = "standard";
constexpr int kMaxAttempts = 10;
// EC2 refusals of a region closed to the account (by policy, or not opted in).
const char* const kRefusalCodes[] = {"UnauthorizedOperation", "AuthFailure", "AccessDenied", "OptInRequired"};

// `aws` is the boto3 module (its default session) or a session of one worker.
py::object sts_client_of(py::handle aws, py::handle config) { return aws.attr("client")("sts", "config"_a = config); }

// The account of a role ARN ("arn:aws:iam::<account>:role/<name>"), or the ARN itself.
std::string account_of(py::handle role_arn) {
    py::object fields = py::str(role_arn).attr("split")(":");
    return py::len(fields) > 4 ? native::text(fields[py::int_(4)]) : native::text(role_arn);
}

}  // namespace

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
    // Time-outs (AWS_CONNECT_TIMEOUT, AWS_READ_TIMEOUT): an endpoint that accepts the
    // connection and never answers costs seconds, not botocore's minute per attempt.
    py::dict settings;
    settings["connect_timeout"] = global("AWS_CONNECT_TIMEOUT");
    settings["read_timeout"] = global("AWS_READ_TIMEOUT");
    if (py::len(retries) > 0) settings["retries"] = retries;
    return native::host_attr("botocore.config", "Config")(**settings);
}

// An EC2 resource ("resource") or client ("client") for the region, acting with the temporary credentials.
py::object ec2_of(const char* kind, py::handle aws, py::handle aws_region, py::handle creds, py::handle config) {
    py::object key_id = creds["AccessKeyId"];
    py::object secret = creds["SecretAccessKey"];
    py::object token = creds["SessionToken"];
    return aws.attr(kind)("ec2", "region_name"_a = aws_region, "aws_access_key_id"_a = key_id,
                          "aws_secret_access_key"_a = secret, "aws_session_token"_a = token, "config"_a = config);
}

py::object assume_role(py::handle sts_client, py::handle role_arn, py::handle external_id) {
    if (!external_id.is_none()) {
        return sts_client.attr("assume_role")("RoleArn"_a = role_arn, "RoleSessionName"_a = kRoleSessionName,
                                              "ExternalId"_a = external_id);
    }
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

// An error that ends the run says where it happened: "account 1111, region eu-west-1: An error
// occurred (AuthFailure) ...", whatever its kind (an AWS refusal, an unreadable answer, a lost
// connection, a VPC that cannot be read). The error keeps its type, code and message.
void name_place(py::error_already_set& err, const std::string& place) {
    if (!err.matches(PyExc_Exception) || err.matches(native::host_attr("concurrent.futures", "CancelledError"))) return;
    py::object value = err.value();
    py::tuple args = value.attr("args");
    if (py::len(args) == 1 && py::isinstance<py::str>(args[0])) {
        value.attr("args") = py::make_tuple(place + ": " + native::text(args[0]));
    } else if (py::len(args) == 0) {
        value.attr("args") = py::make_tuple(place + ": " + std::string(py::str(py::type::handle_of(value).attr("__name__"))));
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

}  // namespace generate_module
