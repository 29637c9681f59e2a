#include "db/sql_dialect.h"

namespace {

std::string create_if_missing(const std::string& name, const std::string& body) {
    return "CREATE TABLE IF NOT EXISTS " + name + " (" + body + ")";
}

std::string create_unless_there(const std::string& name, const std::string& body) {
    return "IF OBJECT_ID('" + name + "', 'U') IS NULL CREATE TABLE " + name + " (" + body + ")";
}

std::string index_if_missing(const std::string& name, const std::string& table, const std::string& columns) {
    return "CREATE INDEX IF NOT EXISTS " + name + " ON " + table + " (" + columns + ")";
}

std::string index_unless_there(const std::string& name, const std::string& table, const std::string& columns) {
    return "IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = '" + name + "') CREATE INDEX " + name + " ON " +
           table + " (" + columns + ")";
}

const SqlDialect POSTGRESQL{"PostgreSQL", "TIMESTAMP(3)", "NUMERIC(9,1)", create_if_missing, index_if_missing};
const SqlDialect SQL_SERVER{"Microsoft SQL Server", "DATETIME2(3)", "NUMERIC(9,1)", create_unless_there,
                            index_unless_there};

}  // namespace

const SqlDialect& dialect_for(const std::string& server) {
    return server.find("SQL Server") != std::string::npos ? SQL_SERVER : POSTGRESQL;
}
