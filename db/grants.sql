/* What the acquisition service's user TELVUSR may do: read the configuration,
   add history and alarms, keep the status rows and the live values, and delete
   expired live-value requests. */

grant select on INTERFACES to user TELVUSR;
grant select on DRIVERS to user TELVUSR;
grant select on VARIAVEIS to user TELVUSR;
grant select on PERIODOS to user TELVUSR;
grant select on PERIODOS_SEGMENTOS to user TELVUSR;
grant select on FERIADOS to user TELVUSR;
grant select on EQUIPAMENTOS to user TELVUSR;
grant select on CANAIS to user TELVUSR;

grant select, insert on HISTORICOS_H to user TELVUSR;
grant select, insert on ALARMES to user TELVUSR;

grant select, insert, update on STATUS_EQUIPS to user TELVUSR;
grant select, insert, update on STATUS_COMM to user TELVUSR;
grant select, insert, update on ONLINE_VALUES to user TELVUSR;

grant select, delete on ONLINE_EQUIPS to user TELVUSR;
