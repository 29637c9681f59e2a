#include "db/odbc.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#ifdef _WIN32
#include <windows.h>  // what Windows' ODBC headers build on
#endif
#include <sql.h>
#include <sqlext.h>

namespace {

SQLHANDLE as_handle(void* handle) {
    return static_cast<SQLHANDLE>(handle);
}

// ODBC hands an integer attribute over in its pointer argument.
SQLPOINTER integer_attribute(SQLULEN value) {
    return reinterpret_cast<SQLPOINTER>(value);  // NOLINT(performance-no-int-to-ptr): the API's own convention
}

bool ok(SQLRETURN result) {
    return result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool holds(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// A statement handle, freed whatever happens.
class Statement {
public:
    explicit Statement(void* connection) {
        if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, as_handle(connection), &handle_))) handle_ = SQL_NULL_HSTMT;
    }
    ~Statement() {
        if (handle_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    SQLHSTMT get() const { return handle_; }

private:
    SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

}  // namespace

DbFault classify_db_error(const std::string& state, const std::string& message) {
    const std::string words = lower(message);
    if (state.rfind("28", 0) == 0 || holds(words, "authentication") || holds(words, "login failed") ||
        holds(words, "password") || (holds(words, "database") && holds(words, "does not exist")) ||
        (holds(words, "role") && holds(words, "does not exist"))) {
        return DbFault::Login;
    }
    if (state == "IM002" || state == "IM003" || holds(words, "can't open lib") || holds(words, "driver")) {
        // A driver that is there and cannot reach its server says so in words of the network.
        if (!holds(words, "connection") && !holds(words, "timeout") && !holds(words, "timed out")) {
            return DbFault::Driver;
        }
    }
    if (state.rfind("08", 0) == 0 || state == "HYT00" || state == "HYT01" || state == "57P01" ||
        state == "57P03" || holds(words, "connection") || holds(words, "could not connect") ||
        holds(words, "timeout") || holds(words, "timed out") || holds(words, "no route") ||
        holds(words, "could not translate host") || holds(words, "server closed")) {
        return DbFault::Unreachable;
    }
    return DbFault::Failed;
}

std::string brief_db_reason(const DbError& error) {
    const std::string words = lower(error.message);
    switch (error.fault) {
    case DbFault::None: return std::string();
    case DbFault::Unreachable:
        if (holds(words, "refused")) return "connection refused";
        if (holds(words, "timeout") || holds(words, "timed out")) return "no answer";
        if (holds(words, "could not translate host") || holds(words, "not known")) return "server name unknown";
        if (holds(words, "no route") || holds(words, "unreachable")) return "no route to the server";
        return "connection lost";
    case DbFault::Login: return "login refused";
    case DbFault::Driver: return "driver missing";
    case DbFault::Schema: return "schema: " + error.message.substr(0, 60);
    case DbFault::Failed: break;
    }
    return "refused: " + error.message.substr(0, 60);
}

namespace {

// The parts of a connection string, "KEY=value" or "KEY={value; with; semicolons}",
// parted by ';', each with its key in lower case and without blanks.
template <typename Each>
void connection_parts(const std::string& connection, Each each) {
    std::size_t start = 0;
    while (start <= connection.size()) {
        std::size_t end = start;
        bool braced = false;
        while (end < connection.size() && (braced || connection[end] != ';')) {
            if (connection[end] == '{') braced = true;
            if (connection[end] == '}') braced = false;
            ++end;
        }
        const std::string part = connection.substr(start, end - start);
        std::string key = lower(part.substr(0, part.find('=')));
        key.erase(0, key.find_first_not_of(' '));
        key.erase(key.find_last_not_of(' ') + 1);
        if (!part.empty()) each(part, key);
        start = end + 1;
    }
}

bool is_password(const std::string& key) {
    return key == "pwd" || key == "password";
}

}  // namespace

std::string without_password(const std::string& connection) {
    std::string shown;
    connection_parts(connection, [&](const std::string& part, const std::string& key) {
        if (!is_password(key)) shown += (shown.empty() ? "" : ";") + part;
    });
    return shown;
}

std::string with_user(const std::string& connection, const std::string& user) {
    std::string changed;
    connection_parts(connection, [&](const std::string& part, const std::string& key) {
        if (key != "uid" && key != "user" && key != "username") changed += (changed.empty() ? "" : ";") + part;
    });
    // Plain where it can be (not every driver takes braces there); else in
    // braces, so that a ';' or '=' in it means nothing, with a '}' doubled.
    std::string value = user;
    if (user.find_first_of(";{}=") != std::string::npos || user.front() == ' ' || user.back() == ' ') {
        value = "{";
        for (const char c : user) value += c == '}' ? "}}" : std::string(1, c);
        value += "}";
    }
    return changed + (changed.empty() ? "" : ";") + "UID=" + value;
}

bool names_password(const std::string& connection) {
    bool named = false;
    connection_parts(connection, [&](const std::string& /*part*/, const std::string& key) {
        named = named || is_password(key);
    });
    return named;
}

OdbcConnection::~OdbcConnection() {
    disconnect();
    if (environment_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, as_handle(environment_));
}

void OdbcConnection::fail(short handle_type, void* handle, DbError& error) const {
    SQLCHAR state[6] = {};
    SQLCHAR message[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    error.state.clear();
    error.message.clear();
    for (SQLSMALLINT record = 1;
         ok(SQLGetDiagRec(handle_type, as_handle(handle), record, state, &native, message, sizeof message, &length));
         ++record) {
        if (error.state.empty() || error.state == "01000") error.state = reinterpret_cast<const char*>(state);
        std::string words(reinterpret_cast<const char*>(message));
        while (!words.empty() && std::isspace(static_cast<unsigned char>(words.back())) != 0) words.pop_back();
        for (char& c : words) {
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        }
        error.message += (error.message.empty() ? "" : "; ") + words;
    }
    // The password is never shown, whatever a driver puts in its words.
    if (!secret_.empty()) {
        for (std::size_t at = error.message.find(secret_); at != std::string::npos; at = error.message.find(secret_)) {
            error.message.replace(at, secret_.size(), "***");
        }
    }
    if (error.message.empty()) error.message = "no reason given";
    error.fault = classify_db_error(error.state, error.message);
}

bool OdbcConnection::connect(const std::string& connection, const std::string& secret, int timeout_s,
                             DbError& error) {
    disconnect();
    secret_ = secret;
    if (environment_ == nullptr) {
        SQLHENV environment = SQL_NULL_HENV;
        if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) {
            error = {DbFault::Driver, "IM004", "the ODBC driver manager cannot be used"};
            return false;
        }
        environment_ = environment;
        SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    }
    SQLHDBC handle = SQL_NULL_HDBC;
    if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, as_handle(environment_), &handle))) {
        fail(SQL_HANDLE_ENV, environment_, error);
        return false;
    }
    SQLSetConnectAttr(handle, SQL_ATTR_LOGIN_TIMEOUT, integer_attribute(static_cast<SQLULEN>(timeout_s)), 0);
    SQLSetConnectAttr(handle, SQL_ATTR_CONNECTION_TIMEOUT,
                      integer_attribute(static_cast<SQLULEN>(timeout_s)), 0);
    std::vector<SQLCHAR> text(connection.begin(), connection.end());
    text.push_back(0);
    SQLCHAR out[1024];
    SQLSMALLINT out_length = 0;
    const SQLRETURN result = SQLDriverConnect(handle, nullptr, text.data(), SQL_NTS, out, sizeof out, &out_length,
                                              SQL_DRIVER_NOPROMPT);
    // The copy of the string (and of the password) goes at once.
    std::fill(text.begin(), text.end(), SQLCHAR{0});
    std::fill(std::begin(out), std::end(out), SQLCHAR{0});
    if (!ok(result)) {
        fail(SQL_HANDLE_DBC, handle, error);
        SQLFreeHandle(SQL_HANDLE_DBC, handle);
        return false;
    }
    connection_ = handle;
    return true;
}

void OdbcConnection::disconnect() {
    if (connection_ == nullptr) return;
    SQLDisconnect(as_handle(connection_));
    SQLFreeHandle(SQL_HANDLE_DBC, as_handle(connection_));
    connection_ = nullptr;
}

std::string OdbcConnection::info(unsigned short what) {
    SQLCHAR text[256] = {};
    SQLSMALLINT length = 0;
    if (connection_ == nullptr || !ok(SQLGetInfo(as_handle(connection_), what, text, sizeof text, &length))) {
        return std::string();
    }
    return reinterpret_cast<const char*>(text);
}

std::string OdbcConnection::database_name() { return info(SQL_DBMS_NAME); }

std::string OdbcConnection::user_name() { return info(SQL_USER_NAME); }

namespace {

// Binds parameter `number` (from 1) to `value`, whose bytes and `length`
// stay put until the statement has run.
SQLRETURN bind_parameter(SQLHSTMT statement, SQLUSMALLINT number, const DbValue& value, SQLLEN& length) {
    // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast): ODBC takes input parameters as non-const
    switch (value.kind) {
    case DbValue::Kind::Text:
        length = static_cast<SQLLEN>(value.text.size());
        return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, value.text.size() + 1, 0,
                                const_cast<char*>(value.text.c_str()), static_cast<SQLLEN>(value.text.size() + 1),
                                &length);
    case DbValue::Kind::Integer:
        length = 0;
        return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                const_cast<std::int64_t*>(&value.integer), 0, &length);
    case DbValue::Kind::Real:
        length = 0;
        return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0,
                                const_cast<double*>(&value.real), 0, &length);
    case DbValue::Kind::Null:
        break;
    }
    // NOLINTEND(cppcoreguidelines-pro-type-const-cast)
    length = SQL_NULL_DATA;
    return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0, nullptr, 0, &length);
}

// One cell of the current row as text, read in chunks however long it is;
// nullopt for NULL. False if the driver could not give it.
bool read_cell(SQLHSTMT statement, SQLUSMALLINT column, std::optional<std::string>& cell) {
    std::string value;
    char chunk[512];
    for (;;) {
        SQLLEN length = 0;
        const SQLRETURN got = SQLGetData(statement, column, SQL_C_CHAR, chunk, sizeof chunk, &length);
        if (got == SQL_NO_DATA) break;
        if (!ok(got)) return false;
        if (length == SQL_NULL_DATA) {
            cell = std::nullopt;
            return true;
        }
        const std::size_t size = length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(sizeof chunk)
                                     ? sizeof chunk - 1
                                     : static_cast<std::size_t>(length);
        value.append(chunk, size);
        if (got == SQL_SUCCESS) break;
    }
    cell = std::move(value);
    return true;
}

}  // namespace

bool OdbcConnection::run(const std::string& sql, const std::vector<DbValue>& parameters, std::vector<DbRow>* rows,
                         long long* changed, DbError& error) {
    if (connection_ == nullptr) {
        error = {DbFault::Unreachable, "08003", "not connected"};
        return false;
    }
    const Statement statement(connection_);
    if (statement.get() == SQL_NULL_HSTMT) {
        fail(SQL_HANDLE_DBC, connection_, error);
        return false;
    }
    std::vector<SQLLEN> lengths(parameters.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (!ok(bind_parameter(statement.get(), static_cast<SQLUSMALLINT>(i + 1), parameters[i], lengths[i]))) {
            fail(SQL_HANDLE_STMT, statement.get(), error);
            return false;
        }
    }
    std::vector<SQLCHAR> text(sql.begin(), sql.end());
    text.push_back(0);
    const SQLRETURN result = SQLExecDirect(statement.get(), text.data(), SQL_NTS);
    if (!ok(result) && result != SQL_NO_DATA) {
        fail(SQL_HANDLE_STMT, statement.get(), error);
        return false;
    }
    if (changed != nullptr) {
        SQLLEN count = 0;
        *changed = ok(SQLRowCount(statement.get(), &count)) ? static_cast<long long>(count) : 0;
    }
    if (rows == nullptr) return true;
    rows->clear();
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement.get(), &columns);
    for (SQLRETURN fetched = SQLFetch(statement.get()); ok(fetched); fetched = SQLFetch(statement.get())) {
        DbRow row(static_cast<std::size_t>(columns));
        for (SQLUSMALLINT column = 1; column <= static_cast<SQLUSMALLINT>(columns); ++column) {
            if (!read_cell(statement.get(), column, row[column - 1])) {
                fail(SQL_HANDLE_STMT, statement.get(), error);
                return false;
            }
        }
        rows->push_back(std::move(row));
    }
    return true;
}

bool OdbcConnection::begin(DbError& error) {
    if (ok(SQLSetConnectAttr(as_handle(connection_), SQL_ATTR_AUTOCOMMIT,
                             integer_attribute(SQL_AUTOCOMMIT_OFF), 0))) {
        return true;
    }
    fail(SQL_HANDLE_DBC, connection_, error);
    return false;
}

bool OdbcConnection::commit(DbError& error) {
    const bool committed = ok(SQLEndTran(SQL_HANDLE_DBC, as_handle(connection_), SQL_COMMIT));
    if (!committed) fail(SQL_HANDLE_DBC, connection_, error);
    SQLSetConnectAttr(as_handle(connection_), SQL_ATTR_AUTOCOMMIT,
                      integer_attribute(SQL_AUTOCOMMIT_ON), 0);
    return committed;
}

void OdbcConnection::rollback() {
    if (connection_ == nullptr) return;
    SQLEndTran(SQL_HANDLE_DBC, as_handle(connection_), SQL_ROLLBACK);
    SQLSetConnectAttr(as_handle(connection_), SQL_ATTR_AUTOCOMMIT,
                      integer_attribute(SQL_AUTOCOMMIT_ON), 0);
}
