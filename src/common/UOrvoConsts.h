// The program's fixed texts: the configuration file with its sections and keys, the batch file
// extensions, and the settings of the database component's multi-tier mode.
#pragma once

namespace orvo {

// Configuration file.
inline constexpr char ConfigFileName[] = "C:\\Orvo\\Orvo.Net\\Config\\Orvo.Config";
inline constexpr char SectionMobile[] = "Orvo.Mobile";  // + "." + store code
inline constexpr char SectionFrameWork[] = "Orvo.FrameWork";
inline constexpr char KeyPathXML[] = "PathXML";
inline constexpr char KeyPathManuais[] = "PathManuais";
inline constexpr char KeyPathImagens[] = "PathImagens";
inline constexpr char KeyDBSuporte[] = "DBSuporte";
inline constexpr char KeyLogFile[] = "LogFile";
inline constexpr char KeyAllowedFolders[] = "AllowedFolders";  // ';' between folders

// Batch files: awaiting verification, verified.
inline constexpr char ExtPendingBatch[] = ".dwl";
inline constexpr char ExtVerifiedBatch[] = ".xml";

// Per-user settings of the database component (read only when its UseRegProps is set).
inline constexpr char RegKeyConfig[] = "Orvo\\Config";
inline constexpr char RegSectionGeneral[] = "General";
inline constexpr char RegWebServerActive[] = "WebServerActive";
inline constexpr char RegWebServerShowWait[] = "WebServerShowWait";
inline constexpr char RegURLBase[] = "URLBase";
inline constexpr char RegProxyEnabled[] = "ProxyEnabled";
inline constexpr char RegProxyHost[] = "ProxyHost";
inline constexpr char RegProxyPorta[] = "ProxyPorta";
inline constexpr char RegProxyUsuario[] = "ProxyUsuario";
inline constexpr char RegProxySenha[] = "ProxySenha";

}  // namespace orvo
