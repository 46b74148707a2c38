// A certificate authority of one test (ca.pem) and the server certificate it signed
// (server.pem, server.key), made with the openssl tool in a folder of the test.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "support/LiveNetwork.h"

// A certificate authority made for one test, and a server certificate it signed for the media
// host and the server's address.
inline bool MakeTestAuthority(const std::filesystem::path& folder) {
    const std::string f = folder.string();
    std::ofstream(folder / "san.cnf")
        << "subjectAltName=DNS:media.pelnix.test,IP:" << VethPair::kServerAddress << "\n";
    return RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                       "ec_paramgen_curve:P-256", "-nodes", "-keyout", f + "/ca.key", "-out",
                       f + "/ca.pem", "-days", "2", "-subj", "/CN=Pelnix Test Authority"}) == 0 &&
           RunProgram({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                       "-nodes", "-keyout", f + "/server.key", "-out", f + "/server.csr", "-subj",
                       "/CN=media.pelnix.test"}) == 0 &&
           RunProgram({"openssl", "x509", "-req", "-in", f + "/server.csr", "-CA", f + "/ca.pem",
                       "-CAkey", f + "/ca.key", "-CAcreateserial", "-out", f + "/server.pem",
                       "-days", "2", "-extfile", f + "/san.cnf"}) == 0;
}
