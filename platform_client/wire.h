// What goes on the wire to the platform, defined once: the paths of the endpoints on the API host
// and on the authorization server, and the service's fixed credentials on the authorization server.
// The client, the dispatch cycle, the local platform, the fixtures, the benches and the end-to-end
// tests all take them from here.
#pragma once

namespace quirada {

// Endpoint paths.
inline constexpr char kTokenPath[] = "/oauth/token";
inline constexpr char kBatchesPath[] = "/quirada/invoice/v3/batches";
inline constexpr char kBatchStatusPath[] = "/quirada/invoice/v3/batches/";  // + the batch's id
inline constexpr char kActivationInfoPath[] = "/quirada/integration/v1/activation/info";
inline constexpr char kActivationEnablePath[] = "/quirada/integration/v1/activation/enable";

// The fixed credentials of the service on the platform's authorization server.
inline constexpr char kClientID[] = "Rk7TwQ2mZc9HvLp3NxB8sJd5GfY1aWqE";
inline constexpr char kClientSecret[] = "Tq4Lm-Zr8WxJc2Hn_Vb6Ks0DfPy3Ga9Eu1Ro7Mi5Qw-Nt8Bz4Yh_Cv2Xe6Jp0SdL";
inline constexpr char kAudience[] = "7c2e5a13-8b4d-4f60-9e21-3d7b6c8a0f45";

}  // namespace quirada
