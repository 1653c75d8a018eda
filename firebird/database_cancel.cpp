#include "firebird/database_cancel.h"

#include <chrono>
#include <optional>
#include <utility>

namespace quirada {

CancelamentoNaParada::CancelamentoNaParada(FbConnection& conexao, std::function<bool()> parada)
    : conexao_(conexao), parada_(std::move(parada)) {
  if (parada_) vigia_ = std::thread([this] { Vigiar(); });
}

CancelamentoNaParada::~CancelamentoNaParada() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    fim_ = true;
  }
  acordar_.notify_all();
  if (vigia_.joinable()) vigia_.join();
}

void CancelamentoNaParada::Vigiar() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<std::chrono::steady_clock::time_point> pedido;
  bool cortada = false;
  while (!fim_) {
    const bool parou = parada_();
    if (parou) {
      const auto agora = std::chrono::steady_clock::now();
      if (!pedido) pedido = agora;
      if (agora - *pedido < kPrazoCancelamento) {
        conexao_.CancelOperation(FbConnection::Cancel::kAsking);
      } else if (!cortada) {
        conexao_.CancelOperation(FbConnection::Cancel::kForcibly);
        cortada = true;
      }
    }
    acordar_.wait_for(lock, parou ? std::chrono::milliseconds(200) : std::chrono::milliseconds(50));
  }
}

}  // namespace quirada
