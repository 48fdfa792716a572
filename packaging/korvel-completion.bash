# bash completion for korvel: the serial port, then the image (a file, or
# STOP or HWPARM), then FORCE or an activation baud.
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
        2)
            COMPREPLY=($(compgen -W 'STOP HWPARM' -- "$cur"))
            # HWPARM goes on with the parameter digits: no blank after it.
            [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == HWPARM ]] && compopt -o nospace
            _filedir
            ;;
        3)
            COMPREPLY=($(compgen -W 'FORCE 9600 19200 38400 57600 115200 3000000' -- "$cur"))
            ;;
    esac
} &&
    complete -F _korvel korvel
