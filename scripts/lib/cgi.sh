# Sourced by the scripts that start the program as a web server would, request by request: its
# CGI environment, and a data root with the stores and the configuration their requests name.

# cgi_environment PATH_INFO LENGTH ROOT: the environment of a POST of LENGTH bytes to PATH_INFO
# under the data root ROOT, one VAR=value a line.
cgi_environment() {
  printf '%s\n' GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=lighttpd SERVER_PROTOCOL=HTTP/1.1 \
    REQUEST_METHOD=POST SERVER_NAME=127.0.0.1 SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 \
    SCRIPT_NAME=/orvo "PATH_INFO=$1" "REQUEST_URI=/orvo$1" \
    CONTENT_TYPE=application/x-www-form-urlencoded "CONTENT_LENGTH=$2" \
    "ORVO_ROOT=$3" LANG=pt_BR.UTF-8 TZ=UTC PATH=/usr/bin:/bin
}

# make_request_root ROOT: the drives C: and D: of ROOT, with the configuration of the stores VESTRA
# (D:\Lotes) and LISTA (D:\Lista) and of the images (D:\Lista\LISTA), and the folder D:\Arquivos.
make_request_root() {
  mkdir -p "$1/c/Orvo/Orvo.Net/Config" "$1/d/Lotes/VESTRA" "$1/d/Arquivos" "$1/d/Lista/LISTA"
  printf '%s\r\n' "[Orvo.Mobile.VESTRA]" 'PathXML=D:\Lotes' "[Orvo.Mobile.LISTA]" 'PathXML=D:\Lista' \
    "[Orvo.FrameWork]" 'PathImagens=D:\Lista\LISTA' >"$1/c/Orvo/Orvo.Net/Config/Orvo.Config"
}
