// qxcm csr, ca, cert and pkcs12: requests, the CA, issuing and PKCS#12 conversion.
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "qxmox/CharArray.h"
#include "qxmox/Config.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"
#include "qxseccm/CertRequest.h"
#include "qxseccm/CertificateBuilder.h"
#include "qxseccm/PKCS12Converter.h"
#include "qxseccm/Utils.h"
#include "qxseccm/X509CertRequest.h"
#include "qxseccore/Certificate.h"
#include "qxseccore/Key.h"
#include "qxseccore/KeyStore.h"

namespace QxCm {
namespace {

using QxMoxArray::CharArray_t;
using QxSecCore::Key;
using QxSecCore::X509Certificate;

constexpr std::string_view kBeginCert = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndCert = "-----END CERTIFICATE-----";

[[noreturn]] void Refuse(const std::string& text) {
  throw QxMoxMsg::IllegalArgumentError_t(QxMoxMsg::CreateWarn_t(QxMoxStr::String_t(text)));
}

[[noreturn]] void RefuseFile(const std::string& path, const char* what,
                             const QxMoxMsg::Exception_t& cause) {
  QxMoxMsg::Message_t message =
      QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("'" + path + "' does not hold " + what + "."));
  message.AddDetails(cause.GetMessageList());
  throw QxMoxMsg::IllegalArgumentError_t(message);
}

X509Certificate ReadCertificate(const std::string& path) {
  const CharArray_t pem = ReadInput(path);
  try {
    return X509Certificate(pem);
  } catch (const QxMoxMsg::IllegalArgumentError_t& e) {
    RefuseFile(path, "a PEM certificate", e);
  }
}

// ReadCertificates returns every certificate of a PEM bundle, in file order.
std::vector<X509Certificate> ReadCertificates(const std::string& path) {
  const CharArray_t bytes = ReadInput(path);
  const std::string_view text = bytes.View();
  std::vector<X509Certificate> certs;
  for (size_t begin = text.find(kBeginCert); begin != std::string_view::npos;
       begin = text.find(kBeginCert, begin + kBeginCert.size())) {
    const size_t end = text.find(kEndCert, begin);
    const size_t stop = end == std::string_view::npos ? text.size() : end + kEndCert.size();
    try {
      certs.emplace_back(CharArray_t(text.substr(begin, stop - begin)));
    } catch (const QxMoxMsg::IllegalArgumentError_t& e) {
      RefuseFile(path, "PEM certificates only", e);
    }
  }
  if (certs.empty()) Refuse("'" + path + "' holds no PEM certificate.");
  return certs;
}

Key ReadPrivateKey(const std::string& path) {
  const Secret pem(ReadInput(path));
  try {
    return Key(Key::TYPE_RSA_PRIVATE, pem.bytes);
  } catch (const QxMoxMsg::IllegalArgumentError_t& e) {
    RefuseFile(path, "an unencrypted PEM RSA private key", e);
  }
}

CharArray_t TextWithNul(const std::string& text) {
  return CharArray_t(text.c_str(), text.size() + 1);
}

// Prompt reads one password from the terminal, copying it out of getpass's static buffer and
// wiping that buffer.
Secret Prompt(const char* prompt) {
  char* typed = QxSecCm::getpass(prompt);
  const size_t length = strlen(typed);
  Secret password(CharArray_t(typed, length + 1));
  explicit_bzero(typed, length);
  return password;
}

// CheckPassword refuses a password (without its final NUL) that the converter would cut at an
// inner NUL, and an empty one for a new file; source names where it came from.
void CheckPassword(std::string_view password, bool isNew, const std::string& source) {
  if (password.find('\0') != std::string_view::npos) {
    Refuse("The password from " + source + " holds a NUL byte, which would cut it short.");
  }
  if (isNew && password.empty()) Refuse("The password from " + source + " is empty.");
}

// ReadPassword takes the first line of passwordFile (standard input for "-"), or asks on the
// terminal (twice for a new password). The result ends in a NUL.
Secret ReadPassword(const std::string& passwordFile, bool isNew) {
  if (!passwordFile.empty()) {
    const bool standardInput = passwordFile == STANDARD_STREAM;
    const Secret content(standardInput ? ReadStandardInputLine() : ReadInput(passwordFile));
    std::string_view line = content.bytes.View();
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    CheckPassword(line, isNew,
                  standardInput ? "standard input" : "the password file '" + passwordFile + "'");
    CharArray_t bytes(line.size() + 1);
    std::copy(line.begin(), line.end(), bytes.GetData());
    return Secret(std::move(bytes));
  }
  if (isatty(STDIN_FILENO) == 0) {
    Refuse(
        "A password is needed: give --password-file FILE (- for standard input), or run on "
        "a terminal to type it.");
  }
  Secret password = Prompt("Password: ");
  CheckPassword(std::string_view(password.bytes.View()).substr(0, password.bytes.GetSize() - 1),
                isNew, "the terminal");
  if (isNew) {
    const Secret again = Prompt("Verify password: ");
    if (!(again.bytes == password.bytes)) Refuse("The passwords do not match.");
  }
  return password;
}

// --- csr create and ca create: a new key pair with a subject --------------------------------

// SubjectText returns the value of option as text; bytes that are not UTF-8 are refused rather
// than turned into replacement characters.
QxMoxStr::String_t SubjectText(const std::string& value, const char* option) {
  if (!QxMoxStr::IsUtf8(value)) {
    Refuse(std::string("The value of ") + option + " is not UTF-8 text.");
  }
  return QxMoxStr::String_t(value);
}

// NewKeyArgs are the options of the commands that make a key pair: the subject's names, the
// PEM output (request or certificate) and the private key.
struct NewKeyArgs {
  std::string cn, locality, outPem, outKey;
};

// AddNewKeyOptions gives a create command the options of NewKeyArgs.
void AddNewKeyOptions(CLI::App* create, NewKeyArgs& args, const char* cnHelp, const char* outName,
                      const char* outHelp) {
  create->add_option("--cn", args.cn, cnHelp)->required();
  create->add_option("--locality", args.locality, "Locality name")->required();
  create->add_option(outName, args.outPem, outHelp)->type_name("FILE")->required();
  create
      ->add_option(
          "--out-key", args.outKey,
          "Where to write the unencrypted PEM private key (mode 0600; - for standard output)")
      ->type_name("FILE")
      ->required();
}

void CsrCreate(const NewKeyArgs& a) {
  OutputFiles out({}, {a.outKey, a.outPem});
  QxSecCm::X509CertRequest request{SubjectText(a.cn, "--cn"),
                                   SubjectText(a.locality, "--locality")};
  CharArray_t csr;
  request.GetEncoded(csr);
  const Secret key(request.GetPrivateKey().GetEncoded());
  out.Add(a.outKey, key.bytes, OutputFiles::SECRET);
  out.Add(a.outPem, csr, OutputFiles::PUBLIC);
  out.Commit();
  out.Report() << "Wrote the certificate request to " << Shown(a.outPem)
               << " and its private key to " << Shown(a.outKey) << ".\n";
}

void AddCsrCommand(CLI::App& app) {
  auto args = std::make_shared<NewKeyArgs>();
  CLI::App* csr = AddGroup(app, "csr", "Certificate requests (PKCS#10)", "create");
  CLI::App* create = csr->add_subcommand(
      "create",
      "Generate an RSA key pair (1024 bits, exponent 3) and a request signed with SHA-1 whose "
      "subject is CN, L, O, OU in this order");
  AddNewKeyOptions(create, *args, "Common name (the node's core id)", "--out-csr",
                   "Where to write the PEM request (- for standard output)");
  create->callback([args] { CsrCreate(*args); });
}

void CaCreate(const NewKeyArgs& a) {
  OutputFiles out({}, {a.outKey, a.outPem});
  X509Certificate cert;
  Key key;
  QxSecCm::CertificateBuilder::CreateSelfSignedCertificate(
      SubjectText(a.cn, "--cn"), SubjectText(a.locality, "--locality"), true, cert, key);
  const Secret keyPem(key.GetEncoded());
  out.Add(a.outKey, keyPem.bytes, OutputFiles::SECRET);
  out.Add(a.outPem, cert.GetEncoded(), OutputFiles::PUBLIC);
  out.Commit();
  out.Report() << "Wrote the CA certificate to " << Shown(a.outPem) << " and its private key to "
               << Shown(a.outKey) << ".\n";
}

// CaExport writes the certificate of the CA kept in this QX_HOME's key store, the one the
// certificate server issues with.
void CaExport(const std::string& outPem) {
  OutputFiles out({KeyStorePath()}, {outPem});
  const QxMoxStr::String_t alias = QxSecCm::CertificateBuilder::GetCAAlias();
  if (alias.IsEmpty()) {
    Refuse("No CA alias: [sec.core] CORE_ID is not set in " + QxMoxConfig::ConfigFilePath() +
           " (the CA is kept under CA_<CORE_ID>).");
  }
  QxSecCore::KeyStore store;
  if (!store.IsCertEntry(alias)) {
    Refuse("The key store " + KeyStorePath() + " has no entry " + alias.ToUtf8() +
           " (the certificate server creates its CA on first start).");
  }
  out.Add(outPem, store.GetCertificate(alias).GetEncoded(), OutputFiles::PUBLIC);
  out.Commit();
  out.Report() << "Wrote the CA certificate " << alias.ToUtf8() << " to " << Shown(outPem)
               << ".\n";
}

void AddCaCommand(CLI::App& app) {
  auto args = std::make_shared<NewKeyArgs>();
  CLI::App* ca = AddGroup(app, "ca", "The certificate authority", "create or export");
  CLI::App* create = ca->add_subcommand(
      "create",
      "Create a new key pair and a self-signed CA certificate (serial number 0, valid for 7300 "
      "days)");
  AddNewKeyOptions(create, *args, "Common name of the CA", "--out-cert",
                   "Where to write the PEM certificate (- for standard output)");
  create->callback([args] { CaCreate(*args); });

  auto outPem = std::make_shared<std::string>();
  CLI::App* exportCmd = ca->add_subcommand(
      "export",
      "Write the PEM certificate of the certificate server's CA, read from this QX_HOME's key "
      "store (alias CA_<[sec.core] CORE_ID>), e.g. for the nodes' and clients' trusted roots");
  exportCmd->add_option("--out", *outPem, "Where to write it (- for standard output)")
      ->type_name("FILE")
      ->required();
  exportCmd->callback([outPem] { CaExport(*outPem); });
}

// --- cert sign ----------------------------------------------------------------------------

struct SignArgs {
  std::string caCert, caKey, csr, out;
  bool isCA = false;
};

void CertSign(const SignArgs& a) {
  // Checked before a serial number is drawn; the serial file and the configuration are inputs.
  OutputFiles out(
      {a.caCert, a.caKey, a.csr,
       QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_DATA, "sec/cs/serial.dat").ToUtf8(),
       QxMoxConfig::ConfigFilePath()},
      {a.out});
  const X509Certificate caCert = ReadCertificate(a.caCert);
  const Key caKey = ReadPrivateKey(a.caKey);
  const CharArray_t csr = ReadInput(a.csr);
  QxSecCm::CertificateBuilder builder(caCert, caKey);
  const QxSecCm::CertRequest record;
  CharArray_t pem;
  builder.BuildCertificate(record, csr, pem, a.isCA);
  out.Add(a.out, pem, OutputFiles::PUBLIC);
  out.Commit();
  out.Report() << "Issued the certificate with serial number "
               << X509Certificate(pem).GetSerial().ToUtf8() << " to " << Shown(a.out) << ".\n";
}

void AddCertCommand(CLI::App& app) {
  auto args = std::make_shared<SignArgs>();
  CLI::App* cert = AddGroup(app, "cert", "Certificates", "sign");
  CLI::App* sign = cert->add_subcommand(
      "sign",
      "Issue a certificate for a request, signed by the CA with SHA-1. The serial number is the "
      "next one of $QX_HOME/data/sec/cs/serial.dat; [sec.cm.server] NOT_BEFORE_OFFSET applies");
  sign->add_option("--ca-cert", args->caCert, "The CA's PEM certificate")
      ->type_name("FILE")
      ->required();
  sign->add_option("--ca-key", args->caKey, "The CA's unencrypted PEM private key")
      ->type_name("FILE")
      ->required();
  sign->add_option("--csr", args->csr, "The PEM request")->type_name("FILE")->required();
  sign->add_option("--out", args->out, "Where to write the PEM certificate (- for standard output)")
      ->type_name("FILE")
      ->required();
  sign->add_flag("--ca", args->isCA, "Issue a CA certificate (CA:TRUE, keyCertSign)");
  sign->callback([args] { CertSign(*args); });
}

// --- pkcs12 export / import ---------------------------------------------------------------

struct ExportArgs {
  std::string cert, key, name, out, passwordFile;
  std::vector<std::string> chain;
  QxSecCm::Pkcs12Profile profile = QxSecCm::Pkcs12Profile::MODERN;
};

void Pkcs12Export(const ExportArgs& a) {
  if (a.out == STANDARD_STREAM) {
    Refuse(
        "A PKCS#12 file is binary: give --out a file name ('-', standard output, takes text "
        "only).");
  }
  std::vector<std::string> inputs{a.cert, a.key, a.passwordFile};
  inputs.insert(inputs.end(), a.chain.begin(), a.chain.end());
  OutputFiles out(inputs, {a.out});
  const X509Certificate cert = ReadCertificate(a.cert);
  const Key key = ReadPrivateKey(a.key);
  QxSecCm::X509CertList chain;
  for (const std::string& file : a.chain) {
    for (X509Certificate& further : ReadCertificates(file)) chain.push_back(std::move(further));
  }
  const Secret password = ReadPassword(a.passwordFile, true);
  Secret blob;
  QxSecCm::PKCS12Converter::EncodeWithProfile(cert, key, chain, TextWithNul(a.name), password.bytes,
                                              a.profile, blob.bytes);
  out.Add(a.out, blob.bytes, OutputFiles::SECRET);
  out.Commit();
  std::cout << "Wrote the PKCS#12 file " << a.out << " (" << chain.size()
            << " further certificates).\n";
}

struct ImportArgs {
  std::string in, outCert, outKey, outChain, passwordFile;
};

void Pkcs12Import(const ImportArgs& a) {
  OutputFiles out({a.in, a.passwordFile}, {a.outKey, a.outCert, a.outChain});
  if (QxMoxIo::File_t(a.in).IsDirectory()) {
    Refuse("'" + a.in + "' is a directory, not a PKCS#12 file.");
  }
  const CharArray_t blob = ReadInput(a.in);
  if (blob.IsEmpty()) Refuse("'" + a.in + "' is empty (0 bytes), not a PKCS#12 file.");
  const Secret password = ReadPassword(a.passwordFile, false);
  X509Certificate cert;
  Key key;
  QxSecCm::X509CertList chain;
  QxSecCm::PKCS12Converter::Decode(cert, key, chain, password.bytes, blob);
  if (key.GetType() == Key::TYPE_NONE) Refuse("'" + a.in + "' holds no private key.");
  if (cert.IsNull()) Refuse("'" + a.in + "' holds no certificate that matches its private key.");

  const Secret keyPem(key.GetEncoded());
  out.Add(a.outKey, keyPem.bytes, OutputFiles::SECRET);
  out.Add(a.outCert, cert.GetEncoded(), OutputFiles::PUBLIC);
  if (!a.outChain.empty()) {
    CharArray_t pems;
    for (const X509Certificate& further : chain) {
      const CharArray_t pem = further.GetEncoded();
      pems.Append(pem.GetData(), pem.GetSize());
    }
    out.Add(a.outChain, pems, OutputFiles::PUBLIC);
  }
  out.Commit();
  out.Report() << "Wrote the certificate to " << Shown(a.outCert) << " and its private key to "
               << Shown(a.outKey)
               << (a.outChain.empty() ? ""
                                      : (", " + std::to_string(chain.size()) +
                                         " further certificates to " + Shown(a.outChain)))
               << ".\n";
}

void AddPasswordFile(CLI::App* command, std::string& path) {
  command
      ->add_option("--password-file", path,
                   "Read the password from the first line of FILE, '-' for standard input "
                   "(else it is asked for on the terminal); it must not hold a NUL byte")
      ->type_name("FILE");
}

void AddPkcs12Command(CLI::App& app) {
  CLI::App* pkcs12 = AddGroup(app, "pkcs12", "PKCS#12 files", "export or import");

  auto exp = std::make_shared<ExportArgs>();
  CLI::App* exportCmd = pkcs12->add_subcommand(
      "export",
      "Pack a certificate, its private key and further certificates into a password-protected "
      "PKCS#12 file");
  exportCmd->add_option("--cert", exp->cert, "The PEM certificate")->type_name("FILE")->required();
  exportCmd->add_option("--key", exp->key, "Its unencrypted PEM RSA private key")
      ->type_name("FILE")
      ->required();
  exportCmd
      ->add_option("--chain", exp->chain,
                   "A PEM file of further certificates (e.g. the CA chain), in order; may "
                   "be given several times")
      ->type_name("FILE");
  exportCmd->add_option("--name", exp->name, "Friendly name of the certificate and key")
      ->required();
  exportCmd->add_option("--out", exp->out, "Where to write the PKCS#12 file (mode 0600)")
      ->type_name("FILE")
      ->required();
  exportCmd
      ->add_option("--profile", exp->profile,
                   "modern (default): AES-256-CBC with PBKDF2 for key and certificates, SHA-256 "
                   "MAC, 2048 iterations each; legacy: 3DES key bag, RC2-40 certificate bags, "
                   "2048 iterations, SHA-1 MAC with 1 iteration, for old readers (OpenSSL 3 "
                   "needs -legacy to read it)")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, QxSecCm::Pkcs12Profile>{{"modern", QxSecCm::Pkcs12Profile::MODERN},
                                                        {"legacy", QxSecCm::Pkcs12Profile::LEGACY}},
          CLI::ignore_case))
      ->type_name("modern|legacy");
  AddPasswordFile(exportCmd, exp->passwordFile);
  exportCmd->callback([exp] { Pkcs12Export(*exp); });

  auto imp = std::make_shared<ImportArgs>();
  CLI::App* importCmd = pkcs12->add_subcommand(
      "import", "Unpack a PKCS#12 file into PEM files: certificate, private key, further ones");
  importCmd->add_option("--in", imp->in, "The PKCS#12 file")->type_name("FILE")->required();
  importCmd
      ->add_option("--out-cert", imp->outCert,
                   "Where to write the PEM certificate (- for standard output)")
      ->type_name("FILE")
      ->required();
  importCmd
      ->add_option(
          "--out-key", imp->outKey,
          "Where to write the unencrypted PEM private key (mode 0600; - for standard output)")
      ->type_name("FILE")
      ->required();
  importCmd
      ->add_option("--out-chain", imp->outChain,
                   "Where to write the further certificates, as PEM, in the file's order (- for "
                   "standard output)")
      ->type_name("FILE");
  AddPasswordFile(importCmd, imp->passwordFile);
  importCmd->callback([imp] { Pkcs12Import(*imp); });
}

}  // namespace

void AddCryptoCommands(CLI::App& app) {
  AddCsrCommand(app);
  AddCaCommand(app);
  AddCertCommand(app);
  AddPkcs12Command(app);
}

}  // namespace QxCm
