access_token=tokendata=x
xdata=31/02/2024hora=25:00:00
ExpiraData=lixo
