// The Corvane Controller client: login, the account list, the password, and the
// transport and certificate failures told in the engineer's words.
#include <optional>
#include <string>
#include <vector>

#include "generator/generate/generate.hpp"

using namespace pybind11::literals;

namespace generate_module {

namespace {

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

// `account_id == number` as the host evaluates it: no shortcut for the very same
// object (py::object::equal has one), so a value unequal to itself never matches.
bool host_equal(py::handle left, py::handle right) {
    py::object result = py::reinterpret_steal<py::object>(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    if (!result) throw py::error_already_set();
    return truthy(result);
}

}  // namespace

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

py::object get_acct_name(py::object account_id, py::object account_list) {
    for (py::handle record : account_list) {
        if (host_equal(account_id, py::object(record["account_number"]))) return record["account_name"];
    }
    return py::none();
}

}  // namespace generate_module
