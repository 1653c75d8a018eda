#include "service/stop_deadline.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "service/host.h"

namespace quirada {
namespace {

struct Prazo {
  std::mutex mutex;
  std::condition_variable mudou;
  bool vivo = false;           // a PrazoDeParada lives
  uint64_t geracao = 0;        // which one
  std::function<void()> ultimas_palavras;
};

Prazo& O() {
  static Prazo prazo;
  return prazo;
}

// Watches, for the life of the process, for a stop request while a PrazoDeParada lives.
[[noreturn]] void Vigiar() {
  Prazo& p = O();
  std::unique_lock<std::mutex> lock(p.mutex);
  for (;;) {
    p.mudou.wait_for(lock, std::chrono::milliseconds(50));
    if (!p.vivo || !StopRequested()) continue;
    const uint64_t visto = p.geracao;
    if (p.mudou.wait_for(lock, kPrazoDeParada, [&] { return !p.vivo || p.geracao != visto; }))
      continue;
    // The work in progress did not obey the stop in time.
    try {
      if (p.ultimas_palavras) p.ultimas_palavras();
    } catch (const std::exception& e) {
      WriteSystemEventError(e.what());
    }
    EndProcessAtStopDeadline();
  }
}

}  // namespace

PrazoDeParada::PrazoDeParada(std::function<void()> ultimas_palavras) {
  static std::once_flag vigia;
  std::call_once(vigia, [] { std::thread(Vigiar).detach(); });
  Prazo& p = O();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.vivo = true;
  ++p.geracao;
  p.ultimas_palavras = std::move(ultimas_palavras);
  p.mudou.notify_all();
}

PrazoDeParada::~PrazoDeParada() {
  Prazo& p = O();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.vivo = false;
  p.ultimas_palavras = nullptr;
  p.mudou.notify_all();
}

}  // namespace quirada
