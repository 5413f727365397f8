// The least that a program which lists hosts must do: open an SQLite database file and write an
// empty JSON list with JsonCpp. The baseline of the tool's start-up (startup_bench.cpp).
#include <sqlite3.h>

#include <iostream>

#include <json/value.h>
#include <json/writer.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_close(db);
  if (opened != SQLITE_OK) return 1;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  std::cout << Json::writeString(builder, Json::Value(Json::arrayValue)) << '\n';
  return 0;
}
