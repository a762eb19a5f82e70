// MysqlTestDatabase.cpp - see MysqlTestDatabase.h.
#include "MysqlTestDatabase.h"

#include <mysql.h>
#include <stdlib.h>

namespace {

const char* environment(const char* key) {
    const char* value = getenv(key);
    return value != nullptr ? value : "";
}

}  // namespace

bool executeMysql(const std::string& database, const std::string& statements, std::string* value,
                  std::string* error) {
    MYSQL* connection = mysql_init(nullptr);
    unsigned int timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &timeout);
    bool ok = mysql_real_connect(connection, environment("CARVANTA_MYSQL_HOST"),
                                 environment("CARVANTA_MYSQL_USER"),
                                 environment("CARVANTA_MYSQL_PASSWORD"),
                                 database.empty() ? nullptr : database.c_str(), 0, nullptr,
                                 CLIENT_MULTI_STATEMENTS) != nullptr &&
              mysql_real_query(connection, statements.c_str(), statements.size()) == 0;
    MYSQL_RES* result = ok ? mysql_store_result(connection) : nullptr;
    MYSQL_ROW row =
        result != nullptr && mysql_num_rows(result) == 1 && mysql_num_fields(result) == 1
            ? mysql_fetch_row(result)
            : nullptr;
    if (value != nullptr) {
        *value = row == nullptr      ? "<not one value>"
                 : row[0] != nullptr ? std::string(row[0], mysql_fetch_lengths(result)[0])
                                     : "<NULL>";
    }
    // Every further statement's result is read: the first that fails ends the run.
    mysql_free_result(result);
    int next = 0;
    while (ok && (next = mysql_next_result(connection)) == 0) {
        mysql_free_result(mysql_store_result(connection));
    }
    ok = ok && next == -1;
    *error = ok ? "" : mysql_error(connection);
    mysql_close(connection);
    return ok;
}
