// A connection to the line's database through ODBC: Windows' own odbc32, or
// unixODBC on Linux and macOS, to whatever driver the line's IT installed.
// A connection belongs to one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What went wrong with the database, as the operator can act on it.
enum class DbFault {
    None,
    Unreachable,  // no answer: the server or the network is away; worth another try later
    Login,        // the server answered and refused: the user, the password or the database
    Driver,       // the driver or the DSN is not there
    Schema,       // the tables are another version's, or cannot be made
    Failed,       // anything else the server said
};

struct DbError {
    DbFault fault = DbFault::None;
    std::string state;    // SQLSTATE
    std::string message;  // the driver's words, the password never among them
};

// A parameter of a statement: text, a whole number, a number, or NULL.
struct DbValue {
    enum class Kind { Text, Integer, Real, Null } kind = Kind::Null;
    std::string text;
    std::int64_t integer = 0;
    double real = 0;

    static DbValue of(std::string value) { return DbValue{Kind::Text, std::move(value), 0, 0}; }
    static DbValue of(std::int64_t value) { return DbValue{Kind::Integer, std::string(), value, 0}; }
    static DbValue real_of(double value) { return DbValue{Kind::Real, std::string(), 0, value}; }
    static DbValue null() { return DbValue{}; }
};

using DbRow = std::vector<std::optional<std::string>>;

class OdbcConnection {
public:
    OdbcConnection() = default;
    ~OdbcConnection();
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    // Connects with `connection` (a DSN or a driver's string, its password
    // included), waiting at most `timeout_s` for the server. `secret` is
    // taken out of every message.
    bool connect(const std::string& connection, const std::string& secret, int timeout_s, DbError& error);
    void disconnect();
    bool connected() const { return connection_ != nullptr; }
    // The name the driver gives its database: "PostgreSQL", "Microsoft SQL Server".
    std::string database_name();
    // The user the server knows this connection by.
    std::string user_name();

    // Runs `sql` with its `?` parameters; with `rows`, fetches every row as
    // text. `changed` gets the rows an INSERT or UPDATE changed.
    bool run(const std::string& sql, const std::vector<DbValue>& parameters, std::vector<DbRow>* rows,
             long long* changed, DbError& error);

    // Transactions: off autocommit until commit() or rollback().
    bool begin(DbError& error);
    bool commit(DbError& error);
    void rollback();

private:
    std::string info(unsigned short what);
    void fail(short handle_type, void* handle, DbError& error) const;

    void* environment_ = nullptr;
    void* connection_ = nullptr;
    std::string secret_;
};

// What a failure's SQLSTATE and words mean: a server that answers no one, a
// refusal, a missing driver. (The drivers say much the same in all cases:
// the words tell a server's refusal from silence.)
DbFault classify_db_error(const std::string& state, const std::string& message);

// A failure in a few words for a screen: "connection refused", "no answer",
// "login refused", "driver missing".
std::string brief_db_reason(const DbError& error);

// A connection string with any PWD= or Password= part taken out, to show.
std::string without_password(const std::string& connection);
// The connection string with its user (UID=, User=, Username=) replaced by `user`.
std::string with_user(const std::string& connection, const std::string& user);
// Whether it holds such a part.
bool names_password(const std::string& connection);
