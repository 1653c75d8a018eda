// A platform in memory (dispatch/platform.h), for tests of the dispatch cycle that need no HTTPS
// server: each upload and each status query answers what the test's function says (or raises
// it), and the platform keeps every file it was given.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/platform.h"

namespace quirada::testing {

class FakePlatform : public TPlataforma {
 public:
  // The answer to an upload of (file name, bytes); the default creates a batch "L<n>" with "S1".
  std::function<TRetornoEnvio(const std::string&, const std::string&)> envio;
  // The answer to a status query of a batch id; the default answers "S".
  std::function<TRetornoStatus(const std::string&)> estado;

  struct Arquivo {
    std::string nome;
    std::string bytes;
  };
  std::vector<Arquivo> recebidos;     // every upload, in order
  std::vector<std::string> consultas;  // every status query's batch id, in order

  TRetornoEnvio Enviar(const std::string& nome_arquivo, const std::string& bytes) override {
    recebidos.push_back({nome_arquivo, bytes});
    if (envio) return envio(nome_arquivo, bytes);
    return {201, "S1", "L" + std::to_string(recebidos.size()), "Lote criado"};
  }
  TRetornoStatus Estado(const std::string& id) override {
    consultas.push_back(id);
    if (estado) return estado(id);
    return {200, "S", "Processado"};
  }

  // A platform that passes every call to this one, for a cycle that owns the platform it makes:
  // what it received stays here for the test after the cycle let it go.
  std::unique_ptr<TPlataforma> Emprestada() {
    class Emprestimo : public TPlataforma {
     public:
      explicit Emprestimo(FakePlatform& p) : p_(p) {}
      TRetornoEnvio Enviar(const std::string& nome, const std::string& bytes) override {
        return p_.Enviar(nome, bytes);
      }
      TRetornoStatus Estado(const std::string& id) override { return p_.Estado(id); }

     private:
      FakePlatform& p_;
    };
    return std::make_unique<Emprestimo>(*this);
  }
};

}  // namespace quirada::testing
