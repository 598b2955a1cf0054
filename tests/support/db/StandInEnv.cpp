#include "StandInEnv.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace veltest {

StandInEnv::StandInEnv() : FServer(standin::Options{0, {}, {}, {{kUser, kPassword}}}) {
    const std::string schema = SchemaSql();
    FServer.Seed(kCommon, schema);
    FServer.Seed(kCloud, schema);
    FServer.Start();
}

std::string StandInEnv::ConnectionString(const std::string& xDatabase) const {
    return "DRIVER={FreeTDS};Server=127.0.0.1;Port=" + std::to_string(Port()) + ";Database=" + xDatabase +
           ";UID=" + kUser + ";PWD={" + kPassword + "};TDS_Version=7.4;Encryption=off;ClientCharset=UTF-8";
}

std::string StandInEnv::SchemaSql() {
    std::ifstream in(VEL_SQL_DIR "/schema.sql", std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " VEL_SQL_DIR "/schema.sql");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace veltest
