// MysqlTestDatabase.h - statements on the private MariaDB server that CARVANTA_MYSQL_* names.
#ifndef MYSQLTESTDATABASE_H
#define MYSQLTESTDATABASE_H

#include <string>

// The statements, separated by ';', on a connection of their own to the database (empty: none);
// *value: the one value of a result of one row and one column (SQL NULL as "<NULL>"), else
// "<not one value>". False with the server's reason in *error.
bool executeMysql(const std::string& database, const std::string& statements, std::string* value,
                  std::string* error);

#endif
