# bash completion for korvel: the serial port, then the image (a file, or
# STOP or HWPARM), then FORCE or an activation baud; and for its companions
# korvel-check (the same words without the port) and korvel-ports. The
# same file is installed under each command's name, which is where
# bash-completion looks for it.

# The image argument: STOP, HWPARM (which goes on with the parameter digits,
# so no blank after it) or a file.
_korvel_image() {
    COMPREPLY=($(compgen -W 'STOP HWPARM' -- "$cur"))
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == HWPARM ]] && compopt -o nospace
    _filedir
}

# The third argument: FORCE or an activation baud.
_korvel_activation() {
    COMPREPLY=($(compgen -W 'FORCE 9600 19200 38400 57600 115200 3000000' -- "$cur"))
}

_korvel() {
    local cur prev words cword
    _init_completion || return

    case $cword in
        1)
            # The serial ports there are: stable names first.
            local port
            for port in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*; do
                [[ -e $port && $port == "$cur"* ]] && COMPREPLY+=("$port")
            done
            # Anything else (a link that korvel-devsim made, say) as a path.
            ((${#COMPREPLY[@]})) || _filedir
            ;;
        2) _korvel_image ;;
        3) _korvel_activation ;;
    esac
} &&
    complete -F _korvel korvel

_korvel_check() {
    local cur prev words cword
    _init_completion || return

    case $cword in
        1) _korvel_image ;;
        2) _korvel_activation ;;
    esac
} &&
    complete -F _korvel_check korvel-check

_korvel_ports() {
    local cur prev words cword
    _init_completion || return
    COMPREPLY=($(compgen -W '--json --help' -- "$cur"))
} &&
    complete -F _korvel_ports korvel-ports
